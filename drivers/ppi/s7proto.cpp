#include "drivers/ppi/s7proto.h"

#include <array>
#include <atomic>
#include <chrono>
#include <span>
#include <string>

#include "drivers/ppi/error_text.h"
#include "drivers/ppi/ppi_address.h"
#include "drivers/ppi/ppi_trace_text.h"
#include "platform/gbk.h"

namespace ppi {

platform::ModuleLocks& ModuleLocks() {
  static platform::ModuleLocks locks;
  return locks;
}

}  // namespace ppi

using platform::Guarded;

CS7Proto::~CS7Proto() {
  ClosePort();
}

BOOL CS7Proto::GetRegisters(const char* /*model*/, const AddressArea** table, int32_t* count) {
  if (!table || !count)
    return 0;
  *table = ppi::AreaTable();
  *count = ppi::kAreaCount;
  return 1;
}

BOOL CS7Proto::ProbeStation(int32_t reserved, int32_t station, int32_t reserved2) {
  return Guarded<BOOL>(0, [&] { return transport_.ProbeStation(reserved, station, reserved2); });
}

uint16_t CS7Proto::ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out) {
  return Guarded<uint16_t>(1, [&] { return ppi::ConvertUserConfigToVar(in, out, lastError_); });
}

BOOL CS7Proto::OpenPort(int32_t mode, const CommSettings* settings) {
  return Guarded<BOOL>(0, [&] { return transport_.OpenPort(mode, settings); });
}

BOOL CS7Proto::ClosePort() {
  return Guarded<BOOL>(1, [&] { return transport_.ClosePort(); });
}

BOOL CS7Proto::CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group) {
  return Guarded<BOOL>(0, [&] { return ppi::CanMergeItem(item, writeFlag, group); });
}

BOOL CS7Proto::ParseStationAddress(const char* text, StationInfo* out) {
  return Guarded<BOOL>(0, [&] { return ppi::ParseStationAddress(text, out, lastError_); });
}

const char* CS7Proto::GetLastErrorText() {
  return Guarded<const char*>(nullptr, [&] { return ppi::ErrorText(lastError_); });
}

BOOL CS7Proto::AttachPort(const HANDLE* handle) {
  if (!handle)
    return 0;
  portFlag_ = 1;
  return Guarded<BOOL>(0, [&] { return transport_.AttachPort(handle); });
}

BOOL CS7Proto::GetPortHandle(HANDLE* handle) {
  if (!handle)
    return 0;
  return transport_.GetPortHandle(handle);
}

BOOL CS7Proto::Execute(RequestGroup* group, ppi::Interface via) {
  if (!group)
    return 0;
  return Guarded<BOOL>(0, [&]() -> BOOL {
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
    const int32_t station = group->station;
    if (traceSink_ == nullptr) {
      if (!transport_.Exchange(frame, &length, &received))
        return 0;
      // The items' time stamp is the moment their data arrived.
      platform::CoFileTimeNow(&now);
      return ppi::HandleReply(std::span<const uint8_t>(frame.data(), received), *group, via, now);
    }
    // Traced: the job before the exchange overwrites it, then the reply or why there is none.
    Trace(kTraceSent, kTraceNoEvent, station, 0, std::span<const uint8_t>(frame.data(), length),
          ppi::DescribeJob(*group));
    if (!transport_.Exchange(frame, &length, &received)) {
      Trace(kTraceEvent, kTraceTimeout, station, 0, {}, "没有应答或确认错误");
      return 0;
    }
    platform::CoFileTimeNow(&now);
    const std::span<const uint8_t> reply = ppi::WithoutStrayAck({frame.data(), received});
    Trace(kTraceReceived, kTraceNoEvent, station, 0, reply, ppi::DescribeReply(reply));
    const BOOL ok =
        ppi::HandleReply(std::span<const uint8_t>(frame.data(), received), *group, via, now);
    if (ok == 0) {
      if (!ppi::CheckFcs(reply)) {
        Trace(kTraceEvent, kTraceBadChecksum, station, 0, {}, "校验错误");
      } else if (reply.size() > ppi::kReplyReturnCode + 2 &&
                 reply[ppi::kReplyReturnCode] != ppi::kReturnOk) {
        const uint8_t code = reply[ppi::kReplyReturnCode];
        Trace(kTraceEvent, kTraceRefused, station, code, {}, ppi::DescribeReply(reply));
      } else {
        Trace(kTraceEvent, kTraceBadFormat, station, 0, {}, "应答格式错误");
      }
    }
    return ok;
  });
}

BOOL CS7Proto::SetTraceSink(ITraceSink* sink) {
  traceSink_ = sink;
  return 1;
}

void CS7Proto::Trace(int32_t kind, int32_t event, int32_t station, int32_t code,
                     std::span<const uint8_t> bytes, const std::string& text) {
  const std::string gbk = platform::Utf8ToGbk(text);
  SendTrace(traceSink_, kind, event, station, code, bytes, gbk.c_str());
}
