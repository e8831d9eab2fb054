#include "drivers/ppi/s7proto.h"

#include <array>
#include <atomic>
#include <span>

#include "drivers/ppi/error_text.h"
#include "drivers/ppi/ppi_address.h"

namespace ppi {
namespace {

// Nothing may leave a COM method as an exception: a failure becomes the method's failure value.
template <typename Result, typename Body>
Result Guarded(Result onFailure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return onFailure;
  }
}

}  // namespace

platform::ModuleLocks& ModuleLocks() {
  static platform::ModuleLocks locks;
  return locks;
}

}  // namespace ppi

CS7Proto::CS7Proto() {
  ppi::ModuleLocks().Lock();
}

CS7Proto::~CS7Proto() {
  ClosePort();
  ppi::ModuleLocks().Unlock();
}

HRESULT CS7Proto::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv)
    return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IS7ProtoAutomation) {
    *ppv = static_cast<IS7ProtoAutomation*>(this);
  } else if (riid == IID_IProtocolDriver) {
    *ppv = static_cast<IProtocolDriver*>(this);
  } else if (riid == IID_IProtocolDriver2) {
    *ppv = static_cast<IProtocolDriver2*>(this);
  } else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG CS7Proto::AddRef() {
  return ++refs_;
}

ULONG CS7Proto::Release() {
  const ULONG left = --refs_;
  if (left == 0)
    delete this;
  return left;
}

BOOL CS7Proto::GetRegisters(const char* /*model*/, const AddressArea** table, int32_t* count) {
  if (!table || !count)
    return 0;
  *table = ppi::AreaTable();
  *count = ppi::kAreaCount;
  return 1;
}

BOOL CS7Proto::ProbeStation(int32_t reserved, int32_t station, int32_t reserved2) {
  return ppi::Guarded<BOOL>(0,
                            [&] { return transport_.ProbeStation(reserved, station, reserved2); });
}

uint16_t CS7Proto::ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out) {
  return ppi::Guarded<uint16_t>(1,
                                [&] { return ppi::ConvertUserConfigToVar(in, out, lastError_); });
}

BOOL CS7Proto::Reserved6(int32_t, int32_t, int32_t) {
  return 1;
}

BOOL CS7Proto::OpenPort(int32_t mode, const CommSettings* settings) {
  return ppi::Guarded<BOOL>(0, [&] { return transport_.OpenPort(mode, settings); });
}

BOOL CS7Proto::ClosePort() {
  return ppi::Guarded<BOOL>(1, [&] { return transport_.ClosePort(); });
}

BOOL CS7Proto::InitLink(const char*, int32_t, int32_t*) {
  return 1;  // a serial PPI line needs no link set-up
}

BOOL CS7Proto::CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group) {
  return ppi::Guarded<BOOL>(0, [&] { return ppi::CanMergeItem(item, writeFlag, group); });
}

BOOL CS7Proto::ExecuteGroup(RequestGroup* group) {
  return Execute(group, ppi::Interface::kFirst);
}

BOOL CS7Proto::ParseStationAddress(const char* text, StationInfo* out) {
  return ppi::Guarded<BOOL>(0, [&] { return ppi::ParseStationAddress(text, out, lastError_); });
}

const char* CS7Proto::GetLastErrorText() {
  return ppi::Guarded<const char*>(nullptr, [&] { return ppi::ErrorText(lastError_); });
}

BOOL CS7Proto::ExecuteGroupEx(RequestGroup* group) {
  return Execute(group, ppi::Interface::kSecond);
}

BOOL CS7Proto::AttachPort(const HANDLE* handle) {
  if (!handle)
    return 0;
  portFlag_ = 1;
  return ppi::Guarded<BOOL>(0, [&] { return transport_.AttachPort(handle); });
}

BOOL CS7Proto::Reserved5(int32_t, int32_t, int32_t) {
  return 1;
}

BOOL CS7Proto::GetPortHandle(HANDLE* handle) {
  if (!handle)
    return 0;
  return transport_.GetPortHandle(handle);
}

BOOL CS7Proto::Execute(RequestGroup* group, ppi::Interface via) {
  if (!group)
    return 0;
  return ppi::Guarded<BOOL>(0, [&]() -> BOOL {
    FILETIME now{};
    if (ppi::IsDelayGroup(*group)) {
      // The DELAY registers belong to this object: served here, never sent.
      platform::CoFileTimeNow(&now);
      int32_t delay0 = transport_.PollDelay(0);
      int32_t delay1 = transport_.PollDelay(1);
      const BOOL ok = ppi::ApplyDelayGroup(*group, via, now, delay0, delay1);
      transport_.SetPollDelay(0, delay0);
      transport_.SetPollDelay(1, delay1);
      return ok;
    }
    if (ppi::WritesReadOnlyMemory(*group)) {
      // Said through GetLastErrorText: the value entry that queued it gets no answer of its own.
      lastError_ = ppi::kErrReadOnly;
      return 0;
    }
    std::array<uint8_t, ppi::kFrameBufferSize> frame{};
    size_t length = ppi::BuildJob(*group, via, frame);
    if (length == 0)
      return 0;  // refused by the codec: nothing goes on the wire
    // Each job its own reference, never 0, so that its reply can be told from any other.
    if (++pduReference_ == 0)
      pduReference_ = 1;
    ppi::StampPduReference(std::span<uint8_t>(frame.data(), length), pduReference_);
    size_t received = 0;
    if (!transport_.Exchange(frame, &length, &received))
      return 0;
    // The items' time stamp is the moment their data arrived.
    platform::CoFileTimeNow(&now);
    return ppi::HandleReply(std::span<const uint8_t>(frame.data(), received), *group, via, now);
  });
}
