#include "platform/com.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/testing/test_support.h"
#include "platform/com_object.h"
#include "platform/com_ptr.h"
#include "platform/registry.h"
#include "platform/tests/com_test_interfaces.h"

namespace {

using platform::GuidToString;
using platform::ParseGuid;
using platform::Registry;
using testing_support::ScopedEnv;
using testing_support::TempDir;

// {9714C2FC-184A-49C7-927B-135D9D005B8A}
constexpr CLSID kDriverClsid = {
    0x9714C2FC, 0x184A, 0x49C7, {0x92, 0x7B, 0x13, 0x5D, 0x9D, 0x00, 0x5B, 0x8A}};
// A class nobody registers.
constexpr CLSID kUnknownClsid = {
    0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

TEST(GuidTest, PrintsUpperCaseInWindowsFieldOrder) {
  EXPECT_EQ(GuidToString(kDriverClsid), "{9714C2FC-184A-49C7-927B-135D9D005B8A}");
  EXPECT_EQ(GuidToString(IID_IUnknown), "{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(GuidToString(GUID{}), "{00000000-0000-0000-0000-000000000000}");
}

TEST(GuidTest, ParsesIntoTheWindowsInMemoryByteOrder) {
  GUID g{};
  ASSERT_TRUE(ParseGuid("{9714C2FC-184A-49C7-927B-135D9D005B8A}", g));
  EXPECT_EQ(g.Data1, 0x9714C2FCu);
  EXPECT_EQ(g.Data2, 0x184A);
  EXPECT_EQ(g.Data3, 0x49C7);
  EXPECT_TRUE(g == kDriverClsid);
  // Records store these 16 bytes as they are; Data1..Data3 are little-endian.
  const uint8_t expected[16] = {0xFC, 0xC2, 0x14, 0x97, 0x4A, 0x18, 0xC7, 0x49,
                                0x92, 0x7B, 0x13, 0x5D, 0x9D, 0x00, 0x5B, 0x8A};
  EXPECT_EQ(std::memcmp(&g, expected, 16), 0);

  GUID lower{};
  ASSERT_TRUE(ParseGuid("{9714c2fc-184a-49c7-927b-135d9d005b8a}", lower));
  EXPECT_TRUE(lower == kDriverClsid);
  GUID ones{};
  ASSERT_TRUE(ParseGuid("{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}", ones));
  EXPECT_EQ(GuidToString(ones), "{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}");
}

TEST(GuidTest, RejectsEveryDeviationAndLeavesTheOutputAlone) {
  const char* bad[] = {
      "",
      "{9714C2FC-184A-49C7-927B-135D9D005B8A",    // no closing brace (37 characters)
      "9714C2FC-184A-49C7-927B-135D9D005B8A}",    // no opening brace
      "{9714C2FC-184A-49C7-927B-135D9D005B8}",    // one digit short (37 characters)
      "{9714C2FC-184A-49C7-927B-135D9D005B8AA}",  // one digit too many
      "{9714C2FC-184A-49C7-927B-135D9D005B8G}",   // not hex
      "{9714C2FC-184A-49C7-927B-135D9D005B 8}",   // space
      "{9714C2FC 184A-49C7-927B-135D9D005B8A}",   // dash missing
      "{9714C2F-C184A-49C7-927B-135D9D005B8A}",   // dash misplaced
      "{9714C2FC-184A-49C7-927B135D-9D005B8A}",   // last dash misplaced
      "(9714C2FC-184A-49C7-927B-135D9D005B8A)",   // wrong brackets
      "{+714C2FC-184A-49C7-927B-135D9D005B8A}",   // sign
      "9714C2FC-184A-49C7-927B-135D9D005B8A",     // bare
  };
  for (const char* text : bad) {
    GUID g = kDriverClsid;
    EXPECT_FALSE(ParseGuid(text, g)) << text;
    EXPECT_TRUE(g == kDriverClsid) << text;
  }
  // A text with an embedded NUL is not a GUID either.
  GUID g{};
  EXPECT_FALSE(ParseGuid(std::string_view("{9714C2FC-184A-49C7-927B-135D9D005B8\0}", 38), g));
}

TEST(GuidTest, RoundTrips) {
  for (int seed = 0; seed < 64; ++seed) {
    GUID g;
    auto* bytes = reinterpret_cast<uint8_t*>(&g);
    for (int i = 0; i < 16; ++i)
      bytes[i] = static_cast<uint8_t>(seed * 31 + i * 17 + seed * i);
    GUID back{};
    ASSERT_TRUE(ParseGuid(GuidToString(g), back));
    EXPECT_TRUE(back == g) << GuidToString(g);
  }
}

TEST(CoFileTimeNowTest, IsTheCurrentUtcTime) {
  FILETIME ft{};
  const time_t before = time(nullptr);
  ASSERT_EQ(platform::CoFileTimeNow(&ft), S_OK);
  const time_t after = time(nullptr);
  const uint64_t ticks = (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
  const int64_t unixSeconds = static_cast<int64_t>(ticks / 10000000) - 11644473600LL;
  EXPECT_GE(unixSeconds, before);
  EXPECT_LE(unixSeconds, after);
  EXPECT_EQ(platform::CoFileTimeNow(nullptr), E_INVALIDARG);
}

TEST(CoInitializeTest, CountsCallsAndGuardsCreation) {
  void* ppv = reinterpret_cast<void*>(1);
  EXPECT_EQ(
      platform::CoCreateInstance(kUnknownClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &ppv),
      CO_E_NOTINITIALIZED);
  EXPECT_EQ(ppv, nullptr);

  EXPECT_EQ(platform::CoInitialize(nullptr), S_OK);
  EXPECT_EQ(platform::CoInitialize(nullptr), S_FALSE);
  platform::CoUninitialize();
  // Still initialised once: the class is merely unknown.
  EXPECT_EQ(
      platform::CoCreateInstance(kUnknownClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &ppv),
      REGDB_E_CLASSNOTREG);
  platform::CoUninitialize();
  EXPECT_EQ(
      platform::CoCreateInstance(kUnknownClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &ppv),
      CO_E_NOTINITIALIZED);
  // An extra CoUninitialize does not leave the counter below zero.
  platform::CoUninitialize();
  EXPECT_EQ(platform::CoInitialize(nullptr), S_OK);
  platform::CoUninitialize();
}

// Registers the test server into a fresh store, the way the registration tool does, and keeps
// COM initialised for the test.
class ComServerTest : public ::testing::Test {
 protected:
  ComServerTest() : env_("TALVEK_CONFIG_DIR", dir_.str()) {}

  void SetUp() override {
    Registry::Instance().Reload();
    modulePath_ = (testing_support::BinDir() / "libComTestModule.so").string();
    module_ = dlopen(modulePath_.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    auto registerServer =
        reinterpret_cast<DllRegisterServerFn>(dlsym(module_, "DllRegisterServer"));
    liveObjects_ = reinterpret_cast<ComTestLiveObjectsFn>(dlsym(module_, "ComTestLiveObjects"));
    canUnloadNow_ = reinterpret_cast<DllCanUnloadNowFn>(dlsym(module_, "DllCanUnloadNow"));
    ASSERT_NE(registerServer, nullptr);
    ASSERT_NE(liveObjects_, nullptr);
    ASSERT_NE(canUnloadNow_, nullptr);
    ASSERT_EQ(registerServer(), S_OK);
    ASSERT_EQ(platform::CoInitialize(nullptr), S_OK);
  }

  void TearDown() override {
    platform::CoUninitialize();
    if (module_)
      dlclose(module_);
    Registry::Instance().Reload();
  }

  HRESULT Create(REFCLSID clsid, REFIID riid, void** ppv, IUnknown* outer = nullptr) {
    return platform::CoCreateInstance(clsid, outer, CLSCTX_INPROC_SERVER, riid, ppv);
  }

  TempDir dir_;
  ScopedEnv env_;
  std::string modulePath_;
  void* module_ = nullptr;
  ComTestLiveObjectsFn liveObjects_ = nullptr;
  DllCanUnloadNowFn canUnloadNow_ = nullptr;
};

TEST_F(ComServerTest, RegistrationWritesTheClassKeys) {
  Registry& reg = Registry::Instance();
  const std::string clsid = GuidToString(CLSID_TalvekComTest);
  EXPECT_EQ(reg.GetString("HKEY_CLASSES_ROOT\\Talvek.ComTest", ""), "Talvek.ComTest");
  EXPECT_EQ(reg.GetString("HKEY_CLASSES_ROOT\\Talvek.ComTest\\CLSID", ""), clsid);
  EXPECT_EQ(reg.GetString("HKEY_CLASSES_ROOT\\CLSID\\" + clsid, ""), "Talvek.ComTest");
  EXPECT_EQ(reg.GetString("HKEY_CLASSES_ROOT\\CLSID\\" + clsid + "\\ProgID", ""), "Talvek.ComTest");
  // The module found its own file.
  EXPECT_EQ(reg.GetString("HKEY_CLASSES_ROOT\\CLSID\\" + clsid + "\\InProcServer32", ""),
            modulePath_);
  EXPECT_EQ(platform::ModulePathOf(dlsym(module_, "DllGetClassObject")), modulePath_);
}

TEST_F(ComServerTest, CreatesByClsidAndProgIdAndReleasesToZero) {
  CLSID clsid{};
  ASSERT_EQ(platform::CLSIDFromProgID("Talvek.ComTest", &clsid), S_OK);
  EXPECT_TRUE(clsid == CLSID_TalvekComTest);
  // ProgIDs compare without regard to case, like every registry name.
  ASSERT_EQ(platform::CLSIDFromProgID("talvek.comtest", &clsid), S_OK);
  EXPECT_TRUE(clsid == CLSID_TalvekComTest);

  ITestCalc* calc = nullptr;
  ASSERT_EQ(Create(clsid, IID_ITestCalc, reinterpret_cast<void**>(&calc)), S_OK);
  ASSERT_NE(calc, nullptr);
  EXPECT_EQ(liveObjects_(), 1);
  EXPECT_EQ(canUnloadNow_(), S_FALSE);
  EXPECT_EQ(calc->Add(2, 40), 42);

  // The second interface reaches the same object.
  ITestMemory* memory = nullptr;
  ASSERT_EQ(calc->QueryInterface(IID_ITestMemory, reinterpret_cast<void**>(&memory)), S_OK);
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(memory->LastResult(), 42);
  ITestCalc* again = nullptr;
  ASSERT_EQ(memory->QueryInterface(IID_ITestCalc, reinterpret_cast<void**>(&again)), S_OK);
  EXPECT_EQ(again, calc);

  // One IUnknown per object, whichever interface it is asked through.
  IUnknown* unk1 = nullptr;
  IUnknown* unk2 = nullptr;
  ASSERT_EQ(calc->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk1)), S_OK);
  ASSERT_EQ(memory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk2)), S_OK);
  EXPECT_EQ(unk1, unk2);

  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(calc->QueryInterface(kUnknownClsid, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  // Five references: the object lives until the last one goes.
  unk2->Release();
  unk1->Release();
  again->Release();
  memory->Release();
  EXPECT_EQ(liveObjects_(), 1);
  EXPECT_EQ(calc->Release(), 0u);
  EXPECT_EQ(liveObjects_(), 0);
  EXPECT_EQ(canUnloadNow_(), S_OK);
}

TEST_F(ComServerTest, ObjectsAreIndependent) {
  ITestCalc* a = nullptr;
  ITestCalc* b = nullptr;
  ASSERT_EQ(Create(CLSID_TalvekComTest, IID_ITestCalc, reinterpret_cast<void**>(&a)), S_OK);
  ASSERT_EQ(Create(CLSID_TalvekComTest, IID_ITestCalc, reinterpret_cast<void**>(&b)), S_OK);
  EXPECT_NE(a, b);
  a->Add(1, 1);
  b->Add(-5, 2);
  ITestMemory* memA = nullptr;
  ASSERT_EQ(a->QueryInterface(IID_ITestMemory, reinterpret_cast<void**>(&memA)), S_OK);
  EXPECT_EQ(memA->LastResult(), 2);
  memA->Release();
  EXPECT_EQ(liveObjects_(), 2);
  a->Release();
  EXPECT_EQ(liveObjects_(), 1);
  b->Release();
  EXPECT_EQ(liveObjects_(), 0);
}

TEST_F(ComServerTest, CreateForAnInterfaceTheClassLacksFailsCleanly) {
  void* ppv = reinterpret_cast<void*>(1);
  EXPECT_EQ(Create(CLSID_TalvekComTest, kUnknownClsid, &ppv), E_NOINTERFACE);
  EXPECT_EQ(ppv, nullptr);
  EXPECT_EQ(liveObjects_(), 0);
}

TEST_F(ComServerTest, FailuresReportTheirCauseAndClearTheOutput) {
  Registry& reg = Registry::Instance();
  void* ppv = reinterpret_cast<void*>(1);

  EXPECT_EQ(Create(kUnknownClsid, IID_IUnknown, &ppv), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(ppv, nullptr);

  auto* outer = reinterpret_cast<IUnknown*>(&ppv);  // never called
  ppv = reinterpret_cast<void*>(1);
  EXPECT_EQ(Create(CLSID_TalvekComTest, IID_IUnknown, &ppv, outer), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(ppv, nullptr);
  EXPECT_EQ(platform::CoCreateInstance(CLSID_TalvekComTest, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IUnknown, nullptr),
            E_POINTER);

  // Registered, but the module file is gone.
  GUID missing = kUnknownClsid;
  missing.Data1 = 1;
  ASSERT_TRUE(
      platform::RegisterInprocServer(missing, "Talvek.Missing", (dir_ / "libMissing.so").string()));
  ppv = reinterpret_cast<void*>(1);
  EXPECT_EQ(Create(missing, IID_IUnknown, &ppv), CO_E_DLLNOTFOUND);
  EXPECT_EQ(ppv, nullptr);

  // A class key without a module path names no server.
  GUID noPath = kUnknownClsid;
  noPath.Data1 = 2;
  ASSERT_TRUE(reg.SetString("HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(noPath), "", "x"));
  EXPECT_EQ(Create(noPath, IID_IUnknown, &ppv), REGDB_E_CLASSNOTREG);

  // A module that loads but is no server: the platform library itself.
  GUID notServer = kUnknownClsid;
  notServer.Data1 = 3;
  ASSERT_TRUE(platform::RegisterInprocServer(
      notServer, "Talvek.NotServer", (testing_support::BinDir() / "libplatform.so").string()));
  EXPECT_EQ(Create(notServer, IID_IUnknown, &ppv), CO_E_ERRORINDLL);
  EXPECT_EQ(ppv, nullptr);

  // The module does not serve the class it is registered for: its answer comes through.
  GUID foreign = kUnknownClsid;
  foreign.Data1 = 4;
  ASSERT_TRUE(platform::RegisterInprocServer(foreign, "Talvek.Foreign", modulePath_));
  ppv = reinterpret_cast<void*>(1);
  EXPECT_EQ(Create(foreign, IID_IUnknown, &ppv), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(ppv, nullptr);
  EXPECT_EQ(liveObjects_(), 0);
}

TEST_F(ComServerTest, ModuleInstalledAfterAFailedLoadIsFound) {
  GUID late = kUnknownClsid;
  late.Data1 = 5;
  const auto path = dir_ / "libLate.so";
  ASSERT_TRUE(platform::RegisterInprocServer(late, "Talvek.Late", path.string()));
  void* ppv = nullptr;
  EXPECT_EQ(Create(late, IID_IUnknown, &ppv), CO_E_DLLNOTFOUND);
  std::filesystem::copy_file(modulePath_, path);
  // Now it loads; the copy serves only the test class, so the answer comes from the module.
  EXPECT_EQ(Create(late, IID_IUnknown, &ppv), CLASS_E_CLASSNOTAVAILABLE);
}

TEST_F(ComServerTest, ProgIdLookupFailures) {
  CLSID clsid = CLSID_TalvekComTest;
  EXPECT_EQ(platform::CLSIDFromProgID("Talvek.NoSuchClass", &clsid), CO_E_CLASSSTRING);
  EXPECT_TRUE(clsid == CLSID{});
  EXPECT_EQ(platform::CLSIDFromProgID("", &clsid), CO_E_CLASSSTRING);
  // A path is no ProgID, even when it leads to a key with a CLSID below it.
  EXPECT_EQ(platform::CLSIDFromProgID("CLSID\\..\\Talvek.ComTest", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(platform::CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
  EXPECT_EQ(platform::CLSIDFromProgID("Talvek.ComTest", nullptr), E_INVALIDARG);

  // A ProgID whose CLSID text is damaged.
  ASSERT_TRUE(Registry::Instance().SetString("HKEY_CLASSES_ROOT\\Talvek.Damaged\\CLSID", "",
                                             "{9714C2FC-184A-49C7-927B-135D9D005B8A"));
  EXPECT_EQ(platform::CLSIDFromProgID("Talvek.Damaged", &clsid), CO_E_CLASSSTRING);
}

TEST_F(ComServerTest, RegistrationRefusesBadInput) {
  EXPECT_FALSE(platform::RegisterInprocServer(kUnknownClsid, "", modulePath_));
  EXPECT_FALSE(platform::RegisterInprocServer(kUnknownClsid, "A\\B", modulePath_));
  EXPECT_FALSE(platform::RegisterInprocServer(kUnknownClsid, "clsid", modulePath_));
  EXPECT_FALSE(platform::RegisterInprocServer(kUnknownClsid, "Talvek.X", ""));
  EXPECT_FALSE(
      Registry::Instance().KeyExists("HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(kUnknownClsid)));
}

TEST_F(ComServerTest, RegistrationFailureIsReported) {
  // A store that cannot be written: the config folder's parent is a file.
  const auto blocker = dir_ / "file";
  ASSERT_TRUE(testing_support::WriteFileBytes(blocker, {'x'}));
  ScopedEnv env("TALVEK_CONFIG_DIR", (blocker / "config").string());
  Registry::Instance().Reload();
  auto registerServer = reinterpret_cast<DllRegisterServerFn>(dlsym(module_, "DllRegisterServer"));
  EXPECT_EQ(registerServer(), REGDB_E_WRITEREGDB);
  CLSID clsid{};
  EXPECT_EQ(platform::CLSIDFromProgID("Talvek.ComTest", &clsid), CO_E_CLASSSTRING);
}

TEST(ModulePathOfTest, FindsTheProgramAndNothingForNull) {
  static int local = 0;
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  EXPECT_EQ(platform::ModulePathOf(&local), std::string(exe, static_cast<size_t>(n)));
  EXPECT_EQ(platform::ModulePathOf(nullptr), "");
  // A function of the platform library lies in the platform library.
  const std::string lib =
      platform::ModulePathOf(reinterpret_cast<const void*>(&platform::CoInitialize));
  EXPECT_NE(lib.find("libplatform.so"), std::string::npos) << lib;
}

// An object of the COM object helper, in process: it records its destruction and the module
// lock count its destructor saw.
struct Watch {
  platform::ModuleLocks locks;
  int destroyed = 0;
  long locksInDestructor = -1;
};

class Calc final : public platform::ComObject<Calc, platform::Implements<ITestCalc, IID_ITestCalc>,
                                              platform::Implements<ITestMemory, IID_ITestMemory>> {
 public:
  explicit Calc(Watch& watch) : ComObject(watch.locks), watch_(watch) {}
  int32_t Add(int32_t a, int32_t b) override { return last_ = a + b; }
  int32_t LastResult() override { return last_; }

 private:
  friend ComObject;
  ~Calc() {
    ++watch_.destroyed;
    watch_.locksInDestructor = watch_.locks.Count();
  }
  Watch& watch_;
  int32_t last_ = 0;
};

TEST(ComObjectTest, AnswersItsInterfacesWithOneIdentityAndRefusesOthers) {
  Watch watch;
  auto* calc = new Calc(watch);
  EXPECT_EQ(watch.locks.Count(), 1);
  EXPECT_EQ(calc->QueryInterface(IID_ITestCalc, nullptr), E_POINTER);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(calc->QueryInterface(kUnknownClsid, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(calc->AddRef(), 2u);  // the refusals took no reference

  void* unknown = nullptr;
  void* memory = nullptr;
  ASSERT_EQ(calc->QueryInterface(IID_IUnknown, &unknown), S_OK);
  ASSERT_EQ(calc->QueryInterface(IID_ITestMemory, &memory), S_OK);
  EXPECT_EQ(unknown, static_cast<ITestCalc*>(calc));  // the first interface
  EXPECT_EQ(memory, static_cast<ITestMemory*>(calc));
  EXPECT_NE(memory, unknown);
  calc->Add(40, 2);
  EXPECT_EQ(static_cast<ITestMemory*>(memory)->LastResult(), 42);

  // Four references; the last Release deletes, and the module lock goes after the destructor.
  EXPECT_EQ(static_cast<IUnknown*>(unknown)->Release(), 3u);
  EXPECT_EQ(static_cast<ITestMemory*>(memory)->Release(), 2u);
  EXPECT_EQ(calc->Release(), 1u);
  EXPECT_EQ(watch.destroyed, 0);
  EXPECT_EQ(calc->Release(), 0u);
  EXPECT_EQ(watch.destroyed, 1);
  EXPECT_EQ(watch.locksInDestructor, 1);
  EXPECT_EQ(watch.locks.Count(), 0);
}

TEST(ComObjectTest, CountsReferencesFromManyThreads) {
  Watch watch;
  auto* calc = new Calc(watch);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([calc] {
      for (int i = 0; i < 20000; ++i) {
        calc->AddRef();
        calc->Release();
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(watch.destroyed, 0);
  EXPECT_EQ(calc->Release(), 0u);
  EXPECT_EQ(watch.destroyed, 1);
}

TEST(ComObjectTest, GuardTurnsAnExceptionIntoTheFailureValue) {
  EXPECT_EQ(platform::Guarded<BOOL>(0, [] { return 1; }), 1);
  EXPECT_EQ(platform::Guarded<BOOL>(0, []() -> BOOL { throw std::runtime_error("x"); }), 0);
  EXPECT_EQ(platform::Guarded<const char*>(nullptr, []() -> const char* { throw 1; }), nullptr);
}

TEST(ComPtrTest, HoldsOneReferenceThroughMovesResetsAndOutParameters) {
  Watch first;
  Watch second;
  platform::ComPtr<ITestCalc> a;
  EXPECT_FALSE(a);
  *a.PutVoid() = static_cast<ITestCalc*>(new Calc(first));  // a creation's reference lands here
  ASSERT_TRUE(a);
  EXPECT_EQ(a->Add(1, 2), 3);

  platform::ComPtr<ITestCalc> b(std::move(a));
  EXPECT_FALSE(a);
  EXPECT_EQ(first.destroyed, 0);

  // Move assignment releases the reference held before; PutVoid and Reset release theirs.
  platform::ComPtr<ITestCalc> c;
  *c.PutVoid() = static_cast<ITestCalc*>(new Calc(second));
  c = std::move(b);
  EXPECT_EQ(second.destroyed, 1);
  EXPECT_EQ(first.destroyed, 0);
  c.PutVoid();
  EXPECT_EQ(first.destroyed, 1);
  EXPECT_FALSE(c);
  c.Reset();  // nothing held: nothing happens
  EXPECT_EQ(first.destroyed + second.destroyed, 2);
}

}  // namespace
