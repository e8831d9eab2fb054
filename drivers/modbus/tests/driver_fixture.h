// What the driver tests share: the module registered by the real regsvr program and created
// through COM as the host creates it, and a small host that builds request groups through the
// driver's own ConvertUserConfigToVar and CanMergeItem, the way the workbench does.
#pragma once

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/driver_contract.h"
#include "common/testing/run_program.h"
#include "common/testing/test_support.h"
#include "drivers/modbus/zirevi_driver.h"
#include "platform/com.h"
#include "platform/registry.h"

namespace modbus_test {

inline constexpr uint16_t kBit = 1;
inline constexpr uint16_t kByte = 2;
inline constexpr uint16_t kInt16 = 4;
inline constexpr uint16_t kUint16 = 8;
inline constexpr uint16_t kBcd16 = 16;
inline constexpr uint16_t kInt32 = 32;
inline constexpr uint16_t kBcd32 = 64;
inline constexpr uint16_t kFloat = 128;
inline constexpr uint16_t kString = 256;

inline constexpr const char* kRtu = "ZireviVER";
inline constexpr const char* kAscii = "ModbusASCII";
inline constexpr const char* kTcp = "ModbusTCP";

inline TagAddressInput Input(const char* model, const char* address, uint16_t type,
                             int16_t extra = 0) {
  TagAddressInput in{};
  std::strncpy(in.model, model, sizeof in.model - 1);
  std::strncpy(in.address, address, sizeof in.address - 1);
  in.dataType = static_cast<int16_t>(type);
  in.extra = extra;
  return in;
}

// One request group as the host builds it, owning its items and station buffer.
class Group {
 public:
  Group(const char* model, const StationInfo& station) : model_(model), station_(station) {
    group_.stationBuffer = &station_;
    group_.modelText = model_.c_str();
    group_.station = static_cast<int16_t>(station.stationNumber);
  }
  ~Group() { ClearGroupItems(group_.items); }
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;

  RequestGroup* get() { return &group_; }
  RequestGroup& operator*() { return group_; }
  RequestGroup* operator->() { return &group_; }
  // The items in list order.
  std::vector<GroupItem*>& items() { return items_; }
  GroupItem& item(size_t i) { return *items_.at(i); }

  // Appends an item the way the host does (address number parsed after the area name).
  GroupItem& Append(uint16_t number, uint16_t type, int32_t value, int16_t bitOrLength) {
    auto* item = new GroupItem{};
    item->tagIndex = static_cast<uint16_t>(items_.size());
    item->byteAddress = number;
    item->dataType = type;
    item->value = value;
    item->bitOrLength = bitOrLength;
    AppendGroupItem(group_.items, item);
    items_.push_back(item);
    return *item;
  }

 private:
  std::string model_;
  StationInfo station_;
  RequestGroup group_{};
  std::vector<GroupItem*> items_;
};

// The address number after the area name, as the host reads it.
inline uint16_t HostNumber(const char* address) {
  return static_cast<uint16_t>(std::strtoul(address + 2, nullptr, 10));
}

// A station as ParseStationAddress leaves it.
inline StationInfo ParsedStation(IProtocolDriver* driver, const char* text) {
  StationInfo station{};
  EXPECT_EQ(driver->ParseStationAddress(text, &station), 1) << text;
  return station;
}

// Builds the groups of a list of tags as the host does: each tag is converted, offered to every
// group built so far, and opens a group of its own when none takes it.
class MiniHost {
 public:
  MiniHost(IProtocolDriver* driver, const char* model, const char* stationText)
      : driver_(driver), model_(model), station_(ParsedStation(driver, stationText)) {}

  // Adds a read tag; false when the driver refuses its address.
  bool AddRead(const char* address, uint16_t type) { return Add(address, type, 0, 0) != nullptr; }
  // A write group of its own for one tag, holding `value`.
  Group* AddWrite(const char* address, uint16_t type, int32_t value) {
    return Add(address, type, 1, value);
  }

  std::vector<std::unique_ptr<Group>>& groups() { return groups_; }

 private:
  Group* Add(const char* address, uint16_t type, int writeFlag, int32_t value) {
    const TagAddressInput in =
        Input(model_.c_str(), address, type, static_cast<int16_t>(writeFlag));
    DriverItem item{};
    item.station = static_cast<int16_t>(station_.stationNumber);
    item.stationCopy = &station_;
    if (driver_->ConvertUserConfigToVar(&in, &item) != 0)
      return nullptr;
    const uint16_t number = HostNumber(address);
    if (writeFlag == 0) {
      for (auto& g : groups_) {
        if ((*g)->writeFlag != 0)
          continue;
        DriverItem copy = item;
        if (driver_->CanMergeItem(&copy, 0, g->get()) == 1) {
          g->Append(number, type, 0, copy.bitOrLength);
          return g.get();
        }
      }
    }
    auto g = std::make_unique<Group>(model_.c_str(), station_);
    (*g)->area = item.area;
    (*g)->areaIndex = item.areaIndex;
    (*g)->dataType = item.dataType;
    (*g)->bitOrLength = item.bitOrLength;
    (*g)->wordOrder = item.wordOrder;
    (*g)->startAddress = number;
    (*g)->endAddress = number;
    (*g)->writeFlag = static_cast<uint16_t>(writeFlag);
    g->Append(number, type, value, item.bitOrLength);
    groups_.push_back(std::move(g));
    return groups_.back().get();
  }

  IProtocolDriver* driver_;
  std::string model_;
  StationInfo station_;
  std::vector<std::unique_ptr<Group>> groups_;
};

// Every test starts from a store into which the real regsvr program has registered the module,
// with COM initialised; Create makes driver objects the way the host does.
class DriverFixture : public ::testing::Test {
 protected:
  DriverFixture() : env_("TALVEK_CONFIG_DIR", dir_.str()) {}

  void SetUp() override {
    const testing_support::RunResult reg = testing_support::RegisterBuiltModule("libZireviVer.so");
    ASSERT_EQ(reg.exitCode, 0) << reg.output;
    platform::Registry::Instance().Reload();
    ASSERT_EQ(platform::CoInitialize(nullptr), S_OK);
    module_ =
        dlopen(testing_support::BuiltModulePath("libZireviVer.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    canUnloadNow_ = reinterpret_cast<DllCanUnloadNowFn>(dlsym(module_, "DllCanUnloadNow"));
    ASSERT_NE(canUnloadNow_, nullptr);
  }

  void TearDown() override {
    for (IProtocolDriver* d : created_)
      EXPECT_EQ(d->Release(), 0u);
    created_.clear();
    if (module_) {
      EXPECT_EQ(canUnloadNow_(), S_OK) << "an object or a lock outlived the test";
      dlclose(module_);
    }
    platform::CoUninitialize();
    platform::Registry::Instance().Reload();
  }

  // A new driver object through COM, released by the fixture.
  IProtocolDriver* Create() {
    IProtocolDriver* driver = nullptr;
    EXPECT_EQ(platform::CoCreateInstance(CLSID_ZireviVer, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IProtocolDriver, reinterpret_cast<void**>(&driver)),
              S_OK);
    if (driver)
      created_.push_back(driver);
    return driver;
  }

  // The second interface of a driver (its reference released at once: the object outlives it).
  static IProtocolDriver2* Second(IProtocolDriver* driver) {
    IProtocolDriver2* second = nullptr;
    EXPECT_EQ(driver->QueryInterface(IID_IProtocolDriver2, reinterpret_cast<void**>(&second)),
              S_OK);
    if (second)
      second->Release();
    return second;
  }

  // Settings of a port: `portName` may be a device path; time-out in ms.
  static CommSettings Port(const std::string& portName, int32_t baud = 19200,
                           int16_t timeoutMs = 500) {
    CommSettings s{};
    std::strncpy(s.portName, portName.c_str(), sizeof s.portName - 1);
    s.baudRate = baud;
    s.dataBits = 8;
    s.stopBits = 1;
    s.parity = 0;
    s.timeoutMs = timeoutMs;
    return s;
  }

  testing_support::TempDir dir_;
  testing_support::ScopedEnv env_;
  void* module_ = nullptr;
  DllCanUnloadNowFn canUnloadNow_ = nullptr;
  std::vector<IProtocolDriver*> created_;
};

}  // namespace modbus_test
