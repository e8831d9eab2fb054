// The PPI driver module as the host meets it: registered by the real regsvr program, created
// through COM, used only through its interfaces and exports.
#include "drivers/ppi/s7proto.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/driver_contract.h"
#include "common/testing/test_support.h"
#include "drivers/ppi/error_text.h"
#include "drivers/ppi/ppi_address.h"
#include "drivers/ppi/tests/driver_host.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "platform/registry.h"
#include "tools/ppisim/ppi_simulator.h"

namespace {

using platform::Registry;
using ppi_test::OstrelPath;
using ppi_test::Regsvr;
using ppi_test::RunProgram;
using ppi_test::RunResult;
using testing_support::BinDir;
using testing_support::ScopedEnv;
using testing_support::TempDir;

constexpr uint16_t kInt16 = 4;
constexpr uint16_t kUint16 = 8;
constexpr uint16_t kBit = 1;
constexpr uint16_t kByte = 2;
constexpr uint16_t kInt32 = 32;

TagAddressInput Input(const char* address, uint16_t type) {
  TagAddressInput in{};
  std::strncpy(in.address, address, sizeof in.address - 1);
  in.dataType = static_cast<int16_t>(type);
  in.extra = 7;
  return in;
}

// The error texts of the Lexvar library, in UTF-8.
const char* const kTexts[] = {
    "站地址只能包含数字0到9",
    "变量地址不能为空",
    "该数据类型不能用于此地址区域",
    "地址超出该区域的范围",
    "位号必须在0到7之间，字符串长度必须在1到127之间",
};

// Every test starts from a store into which the real regsvr program has registered the module.
class S7ProtoTest : public ::testing::Test {
 protected:
  S7ProtoTest() : env_("TALVEK_CONFIG_DIR", dir_.str()) {}

  void SetUp() override {
    const RunResult reg = RunProgram({Regsvr(), OstrelPath()});
    ASSERT_EQ(reg.exitCode, 0) << reg.output;
    Registry::Instance().Reload();
    ASSERT_EQ(platform::CoInitialize(nullptr), S_OK);
    // The same handle as COM's: the module is loaded once.
    module_ = dlopen(OstrelPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    canUnloadNow_ = reinterpret_cast<DllCanUnloadNowFn>(dlsym(module_, "DllCanUnloadNow"));
    getClassObject_ = reinterpret_cast<DllGetClassObjectFn>(dlsym(module_, "DllGetClassObject"));
    ASSERT_NE(canUnloadNow_, nullptr);
    ASSERT_NE(getClassObject_, nullptr);
    ASSERT_EQ(Create(&driver_), S_OK);
    ASSERT_NE(driver_, nullptr);
  }

  void TearDown() override {
    if (driver_) {
      EXPECT_EQ(driver_->Release(), 0u);
    }
    if (module_) {
      EXPECT_EQ(canUnloadNow_(), S_OK) << "an object or a lock outlived the test";
      dlclose(module_);
    }
    platform::CoUninitialize();
    Registry::Instance().Reload();
  }

  // Creates a driver the way the host does.
  static HRESULT Create(IProtocolDriver** out) {
    return platform::CoCreateInstance(CLSID_S7Proto, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IProtocolDriver, reinterpret_cast<void**>(out));
  }

  // Makes the driver refuse an input with the given code.
  static void Provoke(IProtocolDriver* driver, int code) {
    DriverItem item{};
    StationInfo station{};
    switch (code) {
      case 11:
        ASSERT_EQ(driver->ParseStationAddress("2a", &station), 0);
        break;
      case 12: {
        const TagAddressInput in = Input("   ", kInt16);
        ASSERT_EQ(driver->ConvertUserConfigToVar(&in, &item), 1);
        break;
      }
      case 13: {
        const TagAddressInput in = Input("I0", kInt16);
        ASSERT_EQ(driver->ConvertUserConfigToVar(&in, &item), 1);
        break;
      }
      case 14: {
        const TagAddressInput in = Input("V65536", kInt16);
        ASSERT_EQ(driver->ConvertUserConfigToVar(&in, &item), 1);
        break;
      }
      case 15: {
        const TagAddressInput in = Input("I0.8", kBit);
        ASSERT_EQ(driver->ConvertUserConfigToVar(&in, &item), 1);
        break;
      }
      default:
        FAIL() << "no way to provoke code " << code;
    }
  }

  TempDir dir_;
  ScopedEnv env_;
  void* module_ = nullptr;
  DllCanUnloadNowFn canUnloadNow_ = nullptr;
  DllGetClassObjectFn getClassObject_ = nullptr;
  IProtocolDriver* driver_ = nullptr;
};

TEST_F(S7ProtoTest, RegsvrWritesTheClassRegistration) {
  Registry& reg = Registry::Instance();
  const std::string clsid = platform::GuidToString(CLSID_S7Proto);
  EXPECT_EQ(clsid, "{9714C2FC-184A-49C7-927B-135D9D005B8A}");
  const std::string clsidKey = "HKEY_CLASSES_ROOT\\CLSID\\" + clsid;
  EXPECT_EQ(reg.GetString("HKEY_CLASSES_ROOT\\Ostrel.S7Proto", ""), "Ostrel.S7Proto");
  EXPECT_EQ(reg.GetString("HKEY_CLASSES_ROOT\\Ostrel.S7Proto\\CLSID", ""), clsid);
  EXPECT_EQ(reg.GetString(clsidKey, ""), "Ostrel.S7Proto");
  EXPECT_EQ(reg.GetString(clsidKey + "\\ProgID", ""), "Ostrel.S7Proto");
  EXPECT_EQ(reg.GetString(clsidKey + "\\InProcServer32", ""), OstrelPath());
  // No threading model: the class counts as single-threaded.
  EXPECT_FALSE(reg.GetString(clsidKey + "\\InProcServer32", "ThreadingModel").has_value());

  CLSID byProgId{};
  ASSERT_EQ(platform::CLSIDFromProgID("Ostrel.S7Proto", &byProgId), S_OK);
  EXPECT_TRUE(byProgId == CLSID_S7Proto);
}

TEST_F(S7ProtoTest, RegsvrReportsEveryOutcome) {
  // By Windows name, found beside the program; the line names the module and the store.
  RunResult r = RunProgram({Regsvr(), "Ostrel.dll"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("succeeded"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(OstrelPath()), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(dir_.str()), std::string::npos) << r.output;
  r = RunProgram({Regsvr(), "-s", OstrelPath()});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.output, "");

  r = RunProgram({Regsvr(), "NoSuchModule.dll"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("cannot load NoSuchModule.dll"), std::string::npos) << r.output;
  r = RunProgram({Regsvr(), "-s", "NoSuchModule.dll"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.output, "");
  // A module that loads but is no server.
  r = RunProgram({Regsvr(), "Lexvar.dll"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("no DllRegisterServer"), std::string::npos) << r.output;
  // Usage errors.
  EXPECT_EQ(RunProgram({Regsvr()}).exitCode, 1);
  EXPECT_EQ(RunProgram({Regsvr(), "-x", OstrelPath()}).exitCode, 1);
  EXPECT_EQ(RunProgram({Regsvr(), OstrelPath(), OstrelPath()}).exitCode, 1);
  EXPECT_EQ(RunProgram({Regsvr(), "--help"}).exitCode, 0);

  // A store that cannot be written fails the registration instead of passing for success.
  const auto blocker = dir_ / "file";
  ASSERT_TRUE(testing_support::WriteFileBytes(blocker, {'x'}));
  ScopedEnv unwritable("TALVEK_CONFIG_DIR", (blocker / "config").string());
  r = RunProgram({Regsvr(), OstrelPath()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("0x80040151"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("could not be written"), std::string::npos) << r.output;
}

TEST_F(S7ProtoTest, InterfacesShareOneObjectAndOneCount) {
  IProtocolDriver2* driver2 = nullptr;
  ASSERT_EQ(driver_->QueryInterface(IID_IProtocolDriver2, reinterpret_cast<void**>(&driver2)),
            S_OK);
  ASSERT_NE(driver2, nullptr);
  IUnknown* automation = nullptr;
  ASSERT_EQ(driver_->QueryInterface(IID_IS7ProtoAutomation, reinterpret_cast<void**>(&automation)),
            S_OK);
  ASSERT_NE(automation, nullptr);

  // One identity, whichever interface is asked.
  IUnknown* unk1 = nullptr;
  IUnknown* unk2 = nullptr;
  IUnknown* unk3 = nullptr;
  ASSERT_EQ(driver_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk1)), S_OK);
  ASSERT_EQ(driver2->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk2)), S_OK);
  ASSERT_EQ(automation->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk3)), S_OK);
  EXPECT_EQ(unk1, unk2);
  EXPECT_EQ(unk1, unk3);
  EXPECT_EQ(unk1, automation);
  // Every part reaches the others.
  IProtocolDriver* back = nullptr;
  ASSERT_EQ(driver2->QueryInterface(IID_IProtocolDriver, reinterpret_cast<void**>(&back)), S_OK);
  EXPECT_EQ(back, driver_);
  IProtocolDriver2* again = nullptr;
  ASSERT_EQ(automation->QueryInterface(IID_IProtocolDriver2, reinterpret_cast<void**>(&again)),
            S_OK);
  EXPECT_EQ(again, driver2);

  // The automation part has no dispatch methods to offer, and nothing else is answered.
  constexpr IID kIDispatch = {0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(driver2->QueryInterface(kIDispatch, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(driver_->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
  EXPECT_EQ(driver_->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

  // Eight references through three interfaces; the object goes with the last.
  EXPECT_EQ(driver2->AddRef(), 9u);
  EXPECT_EQ(driver2->Release(), 8u);
  for (IUnknown* p : {static_cast<IUnknown*>(driver2), automation, unk1, unk2, unk3,
                      static_cast<IUnknown*>(back), static_cast<IUnknown*>(again)}) {
    p->Release();
  }
  EXPECT_EQ(canUnloadNow_(), S_FALSE);
  EXPECT_EQ(driver_->Release(), 0u);
  driver_ = nullptr;
  EXPECT_EQ(canUnloadNow_(), S_OK);
}

TEST_F(S7ProtoTest, ClassFactoryAndUnloadRules) {
  void* ppv = reinterpret_cast<void*>(1);
  constexpr CLSID kOther = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(getClassObject_(kOther, IID_IClassFactory, &ppv), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(ppv, nullptr);
  ppv = reinterpret_cast<void*>(1);
  EXPECT_EQ(getClassObject_(CLSID_S7Proto, IID_IProtocolDriver, &ppv), E_NOINTERFACE);
  EXPECT_EQ(ppv, nullptr);
  EXPECT_EQ(getClassObject_(CLSID_S7Proto, IID_IClassFactory, nullptr), E_POINTER);

  // The test's own driver holds the module.
  EXPECT_EQ(canUnloadNow_(), S_FALSE);
  driver_->Release();
  driver_ = nullptr;
  EXPECT_EQ(canUnloadNow_(), S_OK);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(getClassObject_(CLSID_S7Proto, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(canUnloadNow_(), S_FALSE);  // somebody holds the factory

  IUnknown* outer = reinterpret_cast<IUnknown*>(factory);  // never called
  ppv = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(outer, IID_IUnknown, &ppv), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(ppv, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &ppv), E_NOINTERFACE);
  EXPECT_EQ(ppv, nullptr);

  IProtocolDriver2* driver2 = nullptr;
  ASSERT_EQ(
      factory->CreateInstance(nullptr, IID_IProtocolDriver2, reinterpret_cast<void**>(&driver2)),
      S_OK);
  factory->Release();
  EXPECT_EQ(canUnloadNow_(), S_FALSE);  // the object lives
  EXPECT_EQ(driver2->Release(), 0u);
  EXPECT_EQ(canUnloadNow_(), S_OK);

  // LockServer holds the module without any object; an extra unlock does not go below zero.
  ASSERT_EQ(getClassObject_(CLSID_S7Proto, IID_IUnknown, reinterpret_cast<void**>(&factory)), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  factory->Release();
  EXPECT_EQ(canUnloadNow_(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(canUnloadNow_(), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  ASSERT_EQ(Create(&driver_), S_OK);
  EXPECT_EQ(canUnloadNow_(), S_FALSE);
}

TEST_F(S7ProtoTest, RegistersAreTheFixedTable) {
  const AddressArea* table = nullptr;
  int32_t count = 0;
  ASSERT_EQ(driver_->GetRegisters("S7-200", &table, &count), 1);
  ASSERT_EQ(count, ppi::kAreaCount);
  ASSERT_NE(table, nullptr);  // the module's own copy of the table
  EXPECT_STREQ(table[ppi::kAreaV].name, "V");
  EXPECT_STREQ(table[ppi::kAreaDelay].name, "DELAY");

  // The same table for every call and every object.
  IProtocolDriver* other = nullptr;
  ASSERT_EQ(Create(&other), S_OK);
  const AddressArea* table2 = nullptr;
  int32_t count2 = 0;
  ASSERT_EQ(other->GetRegisters(nullptr, &table2, &count2), 1);
  EXPECT_EQ(table2, table);
  EXPECT_EQ(count2, ppi::kAreaCount);
  ASSERT_EQ(driver_->GetRegisters("", &table2, &count2), 1);
  EXPECT_EQ(table2, table);
  EXPECT_EQ(other->GetRegisters("x", nullptr, &count2), 0);
  other->Release();
}

TEST_F(S7ProtoTest, ConvertUserConfigToVarAnswersZeroForAccepted) {
  const TagAddressInput v100 = Input("V100", kInt16);
  DriverItem item{};
  ASSERT_EQ(driver_->ConvertUserConfigToVar(&v100, &item), 0);
  const AddressArea* table = nullptr;
  int32_t count = 0;
  ASSERT_EQ(driver_->GetRegisters(nullptr, &table, &count), 1);
  EXPECT_EQ(item.area, &table[ppi::kAreaV]);
  EXPECT_EQ(item.areaIndex, ppi::kAreaV);
  EXPECT_EQ(item.byteAddress, 100);
  EXPECT_EQ(item.dataType, kInt16);
  EXPECT_EQ(item.dataType2, kInt16);
  EXPECT_EQ(item.extra, 7);

  // Area prefixes are case-sensitive (only DELAY is not): refused, with no code of its own.
  const TagAddressInput lower = Input("v100", kInt16);
  EXPECT_EQ(driver_->ConvertUserConfigToVar(&lower, &item), 1);
  EXPECT_EQ(driver_->GetLastErrorText(), nullptr);

  StationInfo station{};
  EXPECT_EQ(driver_->ParseStationAddress("2", &station), 1);
  EXPECT_EQ(station.stationNumber, 2);
}

TEST_F(S7ProtoTest, ErrorTextsComeFromLexvar) {
  EXPECT_EQ(driver_->GetLastErrorText(), nullptr);  // no error yet

  Provoke(driver_, 14);
  const char* text = driver_->GetLastErrorText();
  ASSERT_NE(text, nullptr);
  // "地址超出该区域的范围" in GBK.
  EXPECT_STREQ(text,
               "\xB5\xD8\xD6\xB7\xB3\xAC\xB3\xF6\xB8\xC3\xC7\xF8\xD3\xF2\xB5\xC4\xB7\xB6\xCE\xA7");

  for (int code = 11; code <= 15; ++code) {
    Provoke(driver_, code);
    const char* gbk = driver_->GetLastErrorText();
    ASSERT_NE(gbk, nullptr) << code;
    std::string utf8;
    ASSERT_TRUE(platform::GbkToUtf8(gbk, utf8)) << code;
    EXPECT_EQ(utf8, kTexts[code - 11]) << code;
  }

  // A refusal without a code of its own keeps the previous code and text; success keeps it too.
  DriverItem item{};
  const TagAddressInput unknownArea = Input("X1", kInt16);
  EXPECT_EQ(driver_->ConvertUserConfigToVar(&unknownArea, &item), 1);
  const TagAddressInput good = Input("V0", kInt16);
  EXPECT_EQ(driver_->ConvertUserConfigToVar(&good, &item), 0);
  EXPECT_EQ(platform::GbkToUtf8(driver_->GetLastErrorText()), kTexts[4]);
}

TEST_F(S7ProtoTest, EachObjectKeepsItsOwnCodeButTheBufferIsShared) {
  IProtocolDriver* other = nullptr;
  ASSERT_EQ(Create(&other), S_OK);
  EXPECT_EQ(other->GetLastErrorText(), nullptr);
  Provoke(driver_, 11);
  EXPECT_EQ(other->GetLastErrorText(), nullptr);  // the code belongs to the object
  Provoke(other, 13);
  const char* mine = driver_->GetLastErrorText();
  const char* theirs = other->GetLastErrorText();
  // One module-wide buffer: the pointer is the same, the text that of the latest call.
  EXPECT_EQ(mine, theirs);
  EXPECT_EQ(platform::GbkToUtf8(theirs), kTexts[2]);
  EXPECT_EQ(platform::GbkToUtf8(driver_->GetLastErrorText()), kTexts[0]);
  other->Release();
}

// Without libLexvar.so the texts say so. LoadLibraryA looks beside the program, then through the
// loader's search path, which includes the folder of libplatform.so: so the test runs a copy of
// this program with its own libplatform.so in a folder without the text library, and that copy
// runs this same test with TALVEK_TEST_NO_LEXVAR set.
TEST_F(S7ProtoTest, TextsSayWhenLexvarIsMissing) {
  if (getenv("TALVEK_TEST_NO_LEXVAR")) {
    Provoke(driver_, 14);
    EXPECT_STREQ(driver_->GetLastErrorText(), "File Lexvar.dll missed");
    Provoke(driver_, 11);
    EXPECT_STREQ(driver_->GetLastErrorText(), "File Lexvar.dll missed");
    return;
  }
  TempDir folder;
  std::filesystem::copy_file("/proc/self/exe", folder / "ppi_tests");
  std::filesystem::copy_file(BinDir() / "libplatform.so", folder / "libplatform.so");
  ScopedEnv child("TALVEK_TEST_NO_LEXVAR", "1");
  ScopedEnv bin("TALVEK_BIN_DIR",
                BinDir().string());  // regsvr and libOstrel.so stay where they are
  const RunResult r = RunProgram(
      {(folder / "ppi_tests").string(), "--gtest_filter=S7ProtoTest.TextsSayWhenLexvarIsMissing"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("[  PASSED  ] 1 test"), std::string::npos) << r.output;
}

// The text lookup itself, on this test program's own copy of the module state.
TEST(ErrorTextTest, MissingLibraryAndMissingStringHaveFixedTextsAndAreRemembered) {
  EXPECT_EQ(ppi::ErrorText(-1), nullptr);
  EXPECT_STREQ(ppi::ErrorText(12, "NoSuchTextLibrary.dll"), "File Lexvar.dll missed");
  // The same code does not look again, even where the library would now be found.
  EXPECT_STREQ(ppi::ErrorText(12), "File Lexvar.dll missed");
  // Another code does.
  EXPECT_EQ(platform::GbkToUtf8(ppi::ErrorText(14)), kTexts[3]);
  EXPECT_STREQ(ppi::ErrorText(99), "Unknown Error");
  EXPECT_STREQ(ppi::ErrorText(0), "Unknown Error");
  // -1 never touches the buffer.
  const char* buffer = ppi::ErrorText(12);
  EXPECT_EQ(ppi::ErrorText(-1), nullptr);
  EXPECT_EQ(platform::GbkToUtf8(buffer), kTexts[1]);
}

// Two driver objects on two polling threads may both ask for a text; their fills of the shared
// buffer must not interleave (the thread sanitizer run checks this).
TEST(ErrorTextTest, FillsFromTwoThreadsAreSerialised) {
  auto ask = [](int32_t first, int32_t second) {
    for (int i = 0; i < 100; ++i)
      EXPECT_NE(ppi::ErrorText(i % 2 ? first : second), nullptr);
  };
  std::thread a(ask, 11, 14);
  std::thread b(ask, 12, 15);
  a.join();
  b.join();
  EXPECT_EQ(platform::GbkToUtf8(ppi::ErrorText(13)), kTexts[2]);
}

TEST_F(S7ProtoTest, PortSlotsWithoutALine) {
  IProtocolDriver2* driver2 = nullptr;
  ASSERT_EQ(driver_->QueryInterface(IID_IProtocolDriver2, reinterpret_cast<void**>(&driver2)),
            S_OK);
  HANDLE port = nullptr;
  EXPECT_EQ(driver2->GetPortHandle(&port), 1);
  EXPECT_EQ(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(driver2->GetPortHandle(nullptr), 0);
  EXPECT_EQ(driver_->ClosePort(), 1);
  EXPECT_EQ(driver_->Reserved6(1, 2, 3), 1);
  EXPECT_EQ(driver2->Reserved5(1, 2, 3), 1);
  int32_t stationOut = 9;
  EXPECT_EQ(driver_->InitLink("S7-200", 2, &stationOut), 1);
  EXPECT_EQ(stationOut, 9);
  EXPECT_EQ(driver_->ExecuteGroup(nullptr), 0);
  EXPECT_EQ(driver2->ExecuteGroupEx(nullptr), 0);
  driver2->Release();
}

// A request as the host builds it, owning its items.
class Group {
 public:
  Group(int areaIndex, int32_t start, uint16_t type, uint16_t writeFlag = 0) {
    g_.station = 2;
    g_.areaIndex = static_cast<uint16_t>(areaIndex);
    g_.dataType = static_cast<int16_t>(type);
    g_.startAddress = g_.endAddress = start;
    g_.writeFlag = writeFlag;
  }
  ~Group() { ClearGroupItems(g_.items); }
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;

  GroupItem& Add(uint16_t byteAddress, uint16_t type, int32_t value = 0) {
    auto* item = new GroupItem{};
    item->byteAddress = byteAddress;
    item->dataType = type;
    item->value = value;
    AppendGroupItem(g_.items, item);
    return *item;
  }
  RequestGroup* get() { return &g_; }

 private:
  RequestGroup g_{};
};

uint64_t FileTimeTicks(const FILETIME& t) {
  return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}

// The driver on a line to the PLC simulator (station 2), opened through IProtocolDriver.
class S7ProtoLineTest : public S7ProtoTest {
 protected:
  S7ProtoLineTest() : runtimeEnv_("TALVEK_RUNTIME_DIR", runtime_.str()) {}

  void SetUp() override {
    S7ProtoTest::SetUp();
    if (HasFatalFailure())
      return;
    ASSERT_TRUE(sim_.Start()) << sim_.LastError();
    ASSERT_EQ(driver_->QueryInterface(IID_IProtocolDriver2, reinterpret_cast<void**>(&driver2_)),
              S_OK);
    const std::string path = sim_.SlavePath();
    ASSERT_LT(path.size(), sizeof settings_.portName);
    std::strcpy(settings_.portName, path.c_str());  // a device path is used as it is
    settings_.reserved0 = 1;
    settings_.baudRate = 9600;
    settings_.dataBits = 8;
    settings_.stopBits = 1;
    settings_.parity = 2;
    settings_.timeoutMs = 300;  // a silent line fails quickly
    ASSERT_EQ(driver_->OpenPort(1, &settings_), 1);
  }

  void TearDown() override {
    if (driver2_)
      driver2_->Release();
    S7ProtoTest::TearDown();
    sim_.Stop();
  }

  std::vector<uint8_t> SimBytes(ppisim::Area area, uint32_t address, size_t n) {
    std::vector<uint8_t> out(n);
    EXPECT_TRUE(sim_.GetBytes(area, address, out));
    return out;
  }

  TempDir runtime_;  // no monitor window of a real session is found
  ScopedEnv runtimeEnv_;
  ppisim::PpiSimulator sim_;
  IProtocolDriver2* driver2_ = nullptr;
  CommSettings settings_{};
};

TEST_F(S7ProtoLineTest, ReadsThroughBothInterfaces) {
  const uint8_t data[] = {0x12, 0x34, 0xAB, 0x80, 0x00, 0x01, 0x02};
  ASSERT_TRUE(sim_.SetBytes(ppisim::Area::kV, 100, data));
  HANDLE port = INVALID_HANDLE_VALUE;
  ASSERT_EQ(driver2_->GetPortHandle(&port), 1);
  EXPECT_NE(port, INVALID_HANDLE_VALUE);

  FILETIME before{};
  platform::CoFileTimeNow(&before);
  Group v100(ppi::kAreaV, 100, kInt16);
  GroupItem& item = v100.Add(100, kInt16, 0x7FFF0000);
  ASSERT_EQ(driver2_->ExecuteGroupEx(v100.get()), 1);
  // Only the low 16 bits of an int16 value are replaced.
  EXPECT_EQ(item.value, 0x7FFF1234);
  EXPECT_EQ(item.quality, 192);
  EXPECT_GE(FileTimeTicks(item.updateTime), FileTimeTicks(before));

  // A merged span V100..V106 with three types; the first interface puts values at offset 12.
  Group merged(ppi::kAreaV, 100, kInt16);
  GroupItem& a = merged.Add(100, kInt16);
  GroupItem& b = merged.Add(102, kByte);
  GroupItem& c = merged.Add(103, kInt32);
  DriverItem di{};
  const TagAddressInput inA = Input("V100", kInt16);
  ASSERT_EQ(driver_->ConvertUserConfigToVar(&inA, &di), 0);
  merged.get()->area = di.area;  // the host opens the group from its first item
  const TagAddressInput inB = Input("V102", kByte);
  const TagAddressInput inC = Input("V103", kInt32);
  ASSERT_EQ(driver_->ConvertUserConfigToVar(&inB, &di), 0);
  di.station = 2;  // the host's part of the item
  ASSERT_EQ(driver_->CanMergeItem(&di, 0, merged.get()), 1);
  ASSERT_EQ(driver_->ConvertUserConfigToVar(&inC, &di), 0);
  di.station = 2;
  ASSERT_EQ(driver_->CanMergeItem(&di, 0, merged.get()), 1);
  EXPECT_EQ(merged.get()->endAddress, 106);
  ASSERT_EQ(driver_->ExecuteGroup(merged.get()), 1);
  EXPECT_EQ(a.bitOrLength, 0x1234);
  EXPECT_EQ(b.bitOrLength, 0xAB);
  EXPECT_EQ(c.bitOrLength, static_cast<int32_t>(0x80000102u));
  EXPECT_EQ(a.quality, 0);  // the first interface has no quality
  EXPECT_EQ(sim_.GetCounters().reads, 2u);
}

TEST_F(S7ProtoLineTest, WritesLandInThePlc) {
  Group word(ppi::kAreaV, 200, kInt16, 1);
  GroupItem& item = word.Add(200, kInt16, 0x0506);
  ASSERT_EQ(driver2_->ExecuteGroupEx(word.get()), 1);
  EXPECT_EQ(SimBytes(ppisim::Area::kV, 200, 2), (std::vector<uint8_t>{0x05, 0x06}));
  EXPECT_EQ(item.quality, 0);  // a write to the PLC leaves the item as it was

  // A bit through the first interface, whose bit number travels in the group.
  Group bit(ppi::kAreaM, 10, kBit, 1);
  bit.get()->bitOrLength = 3;
  bit.Add(10, kBit, 1);
  ASSERT_EQ(driver_->ExecuteGroup(bit.get()), 1);
  EXPECT_EQ(SimBytes(ppisim::Area::kM, 10, 1), (std::vector<uint8_t>{0x08}));

  // A write to the inputs is refused before anything is sent.
  const uint64_t framesBefore = sim_.GetCounters().frames;
  Group input(ppi::kAreaI, 0, kByte, 1);
  input.Add(0, kByte, 1);
  EXPECT_EQ(driver2_->ExecuteGroupEx(input.get()), 0);
  EXPECT_EQ(sim_.GetCounters().frames, framesBefore);
}

TEST_F(S7ProtoLineTest, ASilentPlcFailsTheCallAndTheNextSucceeds) {
  const uint8_t data[] = {0x00, 0x2A};
  ASSERT_TRUE(sim_.SetBytes(ppisim::Area::kV, 100, data));
  Group v100(ppi::kAreaV, 100, kInt16);
  GroupItem& item = v100.Add(100, kInt16, 7);
  sim_.SetFault({.kind = ppisim::FaultKind::kSilence});
  EXPECT_EQ(driver2_->ExecuteGroupEx(v100.get()), 0);
  EXPECT_EQ(item.value, 7);
  EXPECT_EQ(item.quality, 0);
  ASSERT_EQ(driver2_->ExecuteGroupEx(v100.get()), 1);
  EXPECT_EQ(item.value, 42);
  EXPECT_EQ(item.quality, 192);

  // A broken reply fails the call without touching the item.
  item.value = 7;
  item.quality = 0;
  sim_.SetFault({.kind = ppisim::FaultKind::kBadFcs});
  EXPECT_EQ(driver2_->ExecuteGroupEx(v100.get()), 0);
  EXPECT_EQ(item.value, 7);
  EXPECT_EQ(item.quality, 0);
  // The transport and frame errors leave LastError alone.
  EXPECT_EQ(driver_->GetLastErrorText(), nullptr);
}

TEST_F(S7ProtoLineTest, EachJobItsReplyAndEachFailureReachTheTraceSink) {
  struct Sink final : ITraceSink {
    void Trace(const TraceRecord* r) override {
      seen.push_back(std::to_string(r->kind) + "/" + std::to_string(r->event) + "/" +
                     std::to_string(r->code) + "/" + std::to_string(r->station) + " " +
                     (r->text != nullptr ? platform::GbkToUtf8(r->text) : std::string()));
      EXPECT_EQ(r->bytes == nullptr, r->length == 0);
    }
    std::vector<std::string> seen;
  } sink;
  IDriverTrace* trace = nullptr;
  ASSERT_EQ(driver_->QueryInterface(IID_IDriverTrace, reinterpret_cast<void**>(&trace)), S_OK);
  ASSERT_EQ(trace->SetTraceSink(&sink), 1);
  Group v100(ppi::kAreaV, 100, kInt16);
  v100.Add(100, kInt16);
  v100.get()->endAddress = 101;
  ASSERT_EQ(driver2_->ExecuteGroupEx(v100.get()), 1);
  EXPECT_EQ(sink.seen, (std::vector<std::string>{"1/0/0/2 读 V100..V101", "2/0/0/2 应答 2 字节"}));

  sink.seen.clear();
  sim_.SetFault({.kind = ppisim::FaultKind::kSilence});
  EXPECT_EQ(driver2_->ExecuteGroupEx(v100.get()), 0);
  ASSERT_EQ(sink.seen.size(), 2u);
  EXPECT_EQ(sink.seen[1].substr(0, 8), "3/1/0/2 ");  // a time-out
  sink.seen.clear();
  sim_.SetFault({.kind = ppisim::FaultKind::kItemError});  // object does not exist
  EXPECT_EQ(driver2_->ExecuteGroupEx(v100.get()), 0);
  ASSERT_EQ(sink.seen.size(), 3u);
  EXPECT_EQ(sink.seen[2], "3/4/10/2 PLC 拒绝：0A 对象不存在");
  sink.seen.clear();
  sim_.SetFault({.kind = ppisim::FaultKind::kBadFcs});
  EXPECT_EQ(driver2_->ExecuteGroupEx(v100.get()), 0);
  ASSERT_EQ(sink.seen.size(), 3u);
  EXPECT_EQ(sink.seen[2], "3/2/0/2 校验错误");

  ASSERT_EQ(trace->SetTraceSink(nullptr), 1);
  sink.seen.clear();
  ASSERT_EQ(driver2_->ExecuteGroupEx(v100.get()), 1);
  EXPECT_TRUE(sink.seen.empty());
  trace->Release();
}

TEST_F(S7ProtoLineTest, DelayRegistersNeverTouchTheLine) {
  sim_.ResetCounters();
  Group read(ppi::kAreaDelay, 0, kUint16);
  GroupItem& d0 = read.Add(0, kUint16);
  GroupItem& d1 = read.Add(1, kUint16);
  ASSERT_EQ(driver2_->ExecuteGroupEx(read.get()), 1);
  EXPECT_EQ(d0.value, 50);
  EXPECT_EQ(d1.value, 50);
  EXPECT_EQ(d1.quality, 192);

  Group write(ppi::kAreaDelay, 1, kUint16, 1);
  write.Add(1, kUint16, 5);  // clamped to 10
  ASSERT_EQ(driver2_->ExecuteGroupEx(write.get()), 1);
  Group write0(ppi::kAreaDelay, 0, kUint16, 1);
  write0.Add(0, kUint16, 40000);  // clamped to 30000
  ASSERT_EQ(driver_->ExecuteGroup(write0.get()), 1);
  ASSERT_EQ(driver2_->ExecuteGroupEx(read.get()), 1);
  EXPECT_EQ(d0.value, 30000);
  EXPECT_EQ(d1.value, 10);
  EXPECT_EQ(sim_.GetCounters().bytesReceived, 0u);

  // The registers belong to the object: a second driver starts from 50 again.
  IProtocolDriver* other = nullptr;
  ASSERT_EQ(Create(&other), S_OK);
  Group fresh(ppi::kAreaDelay, 0, kUint16);
  GroupItem& f1 = fresh.Add(1, kUint16);
  ASSERT_EQ(other->ExecuteGroup(fresh.get()), 1);
  EXPECT_EQ(f1.bitOrLength, 50);
  other->Release();

  // The registers pace the line: with PollDelay 0 at 1000 ms the acknowledgement is first looked
  // for after 500 ms.
  Group slow(ppi::kAreaDelay, 0, kUint16, 1);
  slow.Add(0, kUint16, 1000);
  ASSERT_EQ(driver2_->ExecuteGroupEx(slow.get()), 1);
  const uint8_t data[] = {0x01, 0x02};
  ASSERT_TRUE(sim_.SetBytes(ppisim::Area::kV, 100, data));
  Group v100(ppi::kAreaV, 100, kInt16);
  GroupItem& v = v100.Add(100, kInt16);
  FILETIME start{}, end{};
  platform::CoFileTimeNow(&start);
  ASSERT_EQ(driver2_->ExecuteGroupEx(v100.get()), 1);
  platform::CoFileTimeNow(&end);
  EXPECT_EQ(v.value, 0x0102);
  EXPECT_GE(FileTimeTicks(end) - FileTimeTicks(start), 480u * 10000);
}

TEST_F(S7ProtoLineTest, PortLifecycle) {
  EXPECT_EQ(driver_->ProbeStation(0, 2, 0), 1);
  EXPECT_EQ(driver_->ProbeStation(0, 3, 0), 0);  // nobody at station 3

  // A second object shares the port through AttachPort and talks over it.
  IProtocolDriver* other = nullptr;
  ASSERT_EQ(Create(&other), S_OK);
  IProtocolDriver2* other2 = nullptr;
  ASSERT_EQ(other->QueryInterface(IID_IProtocolDriver2, reinterpret_cast<void**>(&other2)), S_OK);
  HANDLE port = INVALID_HANDLE_VALUE;
  ASSERT_EQ(driver2_->GetPortHandle(&port), 1);
  ASSERT_EQ(other2->AttachPort(&port), 1);
  HANDLE shared = INVALID_HANDLE_VALUE;
  ASSERT_EQ(other2->GetPortHandle(&shared), 1);
  EXPECT_NE(shared, INVALID_HANDLE_VALUE);  // its own reference to the same line
  Group v100(ppi::kAreaV, 100, kInt16);
  v100.Add(100, kInt16);
  EXPECT_EQ(other2->ExecuteGroupEx(v100.get()), 1);
  EXPECT_EQ(other2->AttachPort(nullptr), 0);
  other2->Release();
  other->Release();

  // Releasing a driver without ClosePort closes its port: the line can be opened again.
  ASSERT_EQ(driver2_->Release(), 1u);
  driver2_ = nullptr;
  ASSERT_EQ(driver_->Release(), 0u);
  ASSERT_EQ(Create(&driver_), S_OK);
  ASSERT_EQ(driver_->OpenPort(1, &settings_), 1);
  EXPECT_EQ(driver_->ExecuteGroup(v100.get()), 1);
  EXPECT_EQ(driver_->ClosePort(), 1);
  EXPECT_EQ(driver_->ExecuteGroup(v100.get()), 0);

  // Refused settings leave the port closed.
  CommSettings bad = settings_;
  bad.baudRate = 299;
  EXPECT_EQ(driver_->OpenPort(1, &bad), 0);
  bad.baudRate = 9600;
  std::strcpy(bad.portName, "/nonexistent/tty");
  EXPECT_EQ(driver_->OpenPort(1, &bad), 0);
  EXPECT_EQ(driver_->OpenPort(1, nullptr), 0);
}

}  // namespace
