// libMode1TestDriver.so: a protocol driver for the host's tests that implements IProtocolDriver
// only, so the host polls it in mode 1. Its answers are set through the control block of
// mode1_driver_control.h; it never touches a line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/testing/stand_in_driver.h"
#include "platform/com.h"
#include "platform/com_server.h"
#include "workbench/runtime/tests/mode1_driver_control.h"

namespace {

Mode1DriverControl g_control;
platform::ModuleLocks g_locks;

const AddressArea kNormalTable[] = {
    {"V", 0, 65535, 0x1FF, 0},
    {"VB", 0, 65535, 0x1FF, 0},
    {"M", 0, 9999, 0x1FF, 0},
    // "DB" n "." a: block n, byte address a, which only the driver's conversion gives.
    {"DB", 1, 65535, 0x1FF, kAreaAddressFromDriver},
};
const AddressArea kEmptyNameTable[] = {
    {"", 0, 65535, 0x1FF, 0},
    {"V", 0, 65535, 0x1FF, 0},
    {"VB", 0, 65535, 0x1FF, 0},
    {"M", 0, 9999, 0x1FF, 0},
};

// The table entry whose name starts `text`, longest name first; -1 when none.
int MatchArea(const AddressArea* table, int count, const char* text) {
  int best = -1;
  std::size_t bestLength = 0;
  for (int k = 0; k < count; ++k) {
    const std::size_t n = strnlen(table[k].name, sizeof table[k].name);
    if (n > 0 && n >= bestLength && std::strncmp(text, table[k].name, n) == 0) {
      best = k;
      bestLength = n;
    }
  }
  return best;
}

class Mode1Driver final : public testing_support::StandInDriver<Mode1Driver> {
 public:
  Mode1Driver() : StandInDriver(g_locks) {
    ++g_control.objects;
    ++g_control.created;
  }
  ~Mode1Driver() { --g_control.objects; }

  BOOL GetRegisters(const char*, const AddressArea** table, int32_t* count) override {
    switch (g_control.table.load()) {
      case kTableNull:
        *table = nullptr;
        *count = 3;
        return 1;
      case kTableEmptyName:
        table_ = kEmptyNameTable;
        tableCount_ = 4;
        break;
      case kTableFails:
        *table = nullptr;
        *count = 0;
        return 0;
      default:
        table_ = kNormalTable;
        tableCount_ = 4;
        break;
    }
    *table = table_;
    *count = tableCount_;
    return 1;
  }

  uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out) override {
    ++g_control.convertCalls;
    {
      std::lock_guard lock(g_control.mutex);
      g_control.lastInput = *in;
      g_control.lastItemIn = *out;
      if (out->stationCopy != nullptr)
        g_control.lastStationCopy = *out->stationCopy;
      g_control.lastRegisterText = out->registerText != nullptr ? out->registerText : "";
    }
    if (table_ == nullptr || std::strstr(in->address, "BAD") != nullptr)
      return 1;
    const int k = MatchArea(table_, tableCount_, in->address);
    if (k < 0)
      return 1;
    const char* p = in->address + strnlen(table_[k].name, sizeof table_[k].name);
    char* rest = nullptr;
    long address = std::strtol(p, &rest, 10);
    if ((table_[k].reserved & kAreaAddressFromDriver) != 0 && rest != nullptr && *rest == '.')
      address = std::strtol(rest + 1, &rest, 10);
    long bit = 0;
    if (rest != nullptr && *rest == '.')
      bit = std::strtol(rest + 1, nullptr, 10);
    out->area = &table_[k];
    out->areaIndex = static_cast<uint16_t>(k);
    out->dataType = in->dataType;
    out->dataType2 = static_cast<uint16_t>(in->dataType);
    out->bitOrLength = static_cast<int16_t>(bit);
    out->byteAddress = static_cast<int16_t>(address);
    out->extra = static_cast<uint16_t>(in->extra);
    return 0;
  }

  BOOL OpenPort(int32_t, const CommSettings*) override {
    ++g_control.openCalls;
    return g_control.openResult.load();
  }
  BOOL ClosePort() override {
    ++g_control.closeCalls;
    return 1;
  }
  BOOL InitLink(const char*, int32_t, int32_t*) override {
    ++g_control.initLinkCalls;
    return 1;
  }

  BOOL CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group) override {
    ++g_control.mergeCalls;
    if (writeFlag == 1)
      ++g_control.mergeWriteOffers;
    switch (g_control.merge.load()) {
      case kMergeAlways:
        return 1;
      case kMergeSameArea:
        if (writeFlag != 0 || item->area != group->area || item->station != group->station)
          return 0;
        group->startAddress = std::min<int32_t>(group->startAddress, item->byteAddress);
        group->endAddress = std::max<int32_t>(group->endAddress, item->byteAddress);
        return 1;
      default:
        return 0;
    }
  }

  BOOL ExecuteGroup(RequestGroup* group) override {
    if (const int delay = g_control.executeDelayMs.load(); delay > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    if (group->writeFlag != 0) {
      ++g_control.writeCalls;
      std::lock_guard lock(g_control.mutex);
      g_control.events += 'W';
      for (GroupItemNode* n = group->items.head; n != nullptr; n = n->next) {
        char text[40];
        std::snprintf(text, sizeof text, "%u=%d;", n->item->tagIndex, n->item->value);
        g_control.lastWrites += text;
      }
      return g_control.executeResult.load();
    }
    ++g_control.readCalls;
    {
      std::lock_guard lock(g_control.mutex);
      g_control.events += 'R';
    }
    const int32_t base = g_control.readBase.load();
    for (GroupItemNode* n = group->items.head; n != nullptr; n = n->next)
      n->item->bitOrLength = base + n->item->byteAddress;
    return g_control.executeResult.load();
  }

  BOOL ParseStationAddress(const char* text, StationInfo* out) override {
    {
      std::lock_guard lock(g_control.mutex);
      std::snprintf(g_control.lastParseText, sizeof g_control.lastParseText, "%s", text);
    }
    for (const char* p = text; *p != '\0'; ++p) {
      if (*p < '0' || *p > '9')
        return 0;
    }
    out->stationNumber = std::atoi(text);
    return g_control.parseResult.load();
  }

 private:
  const AddressArea* table_ = nullptr;
  int tableCount_ = 0;
};

platform::ClassFactory<Mode1Driver> g_factory(g_locks);

}  // namespace

PLATFORM_INPROC_SERVER_EXPORTS(g_factory, kMode1DriverClsid, kMode1DriverProgId)

extern "C" __attribute__((visibility("default"))) Mode1DriverControl* Mode1TestDriverControl() {
  return &g_control;
}
