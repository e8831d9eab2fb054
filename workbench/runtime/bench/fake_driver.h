// The in-process protocol driver of the benchmarks: no line, requests answered at once (or after a
// set delay), a one-area table "V" whose items merge into 200-byte spans.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "common/driver_contract.h"
#include "platform/clock.h"
#include "platform/com_object.h"

namespace talvek_bench {

inline constexpr AddressArea kFakeTable[] = {{"V", 0, 65535, 0x1AF, 0}};

inline int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A driver whose requests return at once, or whose reads take `exchangeMs` each (a slow line);
// merges V items into 200-byte spans. A write stores the time it reaches the driver (its first
// byte on the line) into *writeSeen. A moving driver (SetMoving) answers each read in mode 2 with
// a value that differs from the last one: the read's number, quality 192 and the time.
class FakeDriver final
    : public platform::ComObject<FakeDriver,
                                 platform::Implements<IProtocolDriver, IID_IProtocolDriver>,
                                 platform::Implements<IProtocolDriver2, IID_IProtocolDriver2>> {
 public:
  FakeDriver(bool second, bool fail, int exchangeMs = 0, std::atomic<int64_t>* writeSeen = nullptr)
      : second_(second), fail_(fail), exchangeMs_(exchangeMs), writeSeen_(writeSeen) {}

  // IProtocolDriver2 only when built as a mode 2 driver.
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IProtocolDriver2 && !second_) {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    return ComObject::QueryInterface(riid, ppv);
  }

  BOOL GetRegisters(const char*, const AddressArea** table, int32_t* count) override {
    *table = kFakeTable;
    *count = 1;
    return 1;
  }
  BOOL ProbeStation(int32_t, int32_t, int32_t) override { return 1; }
  uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out) override {
    char* rest = nullptr;
    const long address = std::strtol(in->address + 1, &rest, 10);
    out->area = &kFakeTable[0];
    out->areaIndex = 0;
    out->dataType = in->dataType;
    out->dataType2 = static_cast<uint16_t>(in->dataType);
    out->bitOrLength = static_cast<int16_t>(*rest == '.' ? std::atoi(rest + 1) : 0);
    out->byteAddress = static_cast<int16_t>(address);
    out->extra = static_cast<uint16_t>(in->extra);
    return 0;
  }
  BOOL Reserved6(int32_t, int32_t, int32_t) override { return 1; }
  BOOL OpenPort(int32_t, const CommSettings*) override { return 1; }
  BOOL ClosePort() override { return 1; }
  BOOL InitLink(const char*, int32_t, int32_t*) override { return 1; }
  BOOL CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group) override {
    if (writeFlag != 0 || item->station != group->station)
      return 0;
    const int32_t a = static_cast<uint16_t>(item->byteAddress);
    const int32_t start = std::min(a, group->startAddress);
    const int32_t end = std::max(a + 3, group->endAddress);
    if (end - start + 1 > 200)
      return 0;
    group->startAddress = start;
    group->endAddress = end;
    return 1;
  }
  BOOL ExecuteGroup(RequestGroup*) override { return fail_ ? 0 : 1; }
  BOOL ParseStationAddress(const char*, StationInfo*) override { return 1; }
  const char* GetLastErrorText() override { return nullptr; }

  BOOL ExecuteGroupEx(RequestGroup* group) override {
    if (group->writeFlag != 0) {
      if (writeSeen_ != nullptr)
        writeSeen_->store(NowNs());
      return 1;
    }
    if (exchangeMs_ > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(exchangeMs_));
    if (moving_ && !fail_) {
      ++reads_;
      FILETIME now{};
      platform::GetSystemTimeAsFileTime(&now);
      for (GroupItemNode* n = group->items.head; n != nullptr; n = n->next) {
        n->item->value = static_cast<int32_t>(reads_ & 1);
        if (n->item->dataType != DataTypeFlagOf(kRawBit))
          n->item->value = static_cast<int32_t>(reads_ % 100);
        n->item->quality = 192;
        n->item->updateTime = now;
      }
    }
    return fail_ ? 0 : 1;
  }
  void SetMoving(bool on) { moving_ = on; }
  BOOL AttachPort(const HANDLE*) override { return 1; }
  BOOL Reserved5(int32_t, int32_t, int32_t) override { return 1; }
  BOOL GetPortHandle(HANDLE*) override { return 1; }

 private:
  const bool second_;
  const bool fail_;
  const int exchangeMs_;
  std::atomic<int64_t>* const writeSeen_;
  bool moving_ = false;
  uint32_t reads_ = 0;
};

}  // namespace talvek_bench
