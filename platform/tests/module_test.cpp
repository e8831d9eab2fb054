#include "platform/module.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "common/testing/test_support.h"

namespace {

using platform::ModuleFileFor;
using platform::ModuleHandle;
using platform::ProgramDir;

TEST(ModuleTest, ProgramDirIsTheTestProgramsFolder) {
  std::string dir = ProgramDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '/');
  EXPECT_EQ(std::filesystem::canonical(dir), std::filesystem::canonical(testing_support::BinDir()));
}

TEST(ModuleTest, WindowsNamesMapToFilesBesideTheProgram) {
  const std::string dir = ProgramDir();
  EXPECT_EQ(ModuleFileFor("Almery.dll"), dir + "/libAlmery.so");
  EXPECT_EQ(ModuleFileFor("Lexvar.DLL"), dir + "/libLexvar.so");  // extension in any case
  EXPECT_EQ(ModuleFileFor("Dodu.exe"), dir + "/Dodu");
  EXPECT_EQ(ModuleFileFor("Dodu.EXE"), dir + "/Dodu");
  EXPECT_EQ(ModuleFileFor("libOther.so"), dir + "/libOther.so");
  EXPECT_EQ(ModuleFileFor("Some.dll.bak"), dir + "/Some.dll.bak");
  // Names with a folder are already Linux paths.
  EXPECT_EQ(ModuleFileFor("/opt/x/Almery.dll"), "/opt/x/Almery.dll");
  EXPECT_EQ(ModuleFileFor("./libY.so"), "./libY.so");
}

TEST(ModuleTest, MissingModulesAndBadArgumentsFail) {
  EXPECT_EQ(platform::LoadLibraryA("NoSuchModule.dll"), nullptr);
  EXPECT_EQ(platform::LoadLibraryA("/nonexistent/libNoSuchModule.so"), nullptr);
  EXPECT_EQ(platform::LoadLibraryA(""), nullptr);       // not the program itself
  EXPECT_EQ(platform::LoadLibraryA(nullptr), nullptr);  // likewise
  EXPECT_EQ(platform::LoadLibraryA(".dll"), nullptr);
  EXPECT_EQ(platform::GetProcAddress(nullptr, "TestAnswer"), nullptr);
  EXPECT_EQ(platform::FreeLibrary(nullptr), FALSE);
}

TEST(ModuleTest, LoadsAModuleByItsWindowsName) {
  ModuleHandle module(platform::LoadLibraryA("ModuleTestLib.dll"));
  ASSERT_TRUE(module);
  auto answer = module.Symbol<int (*)()>("TestAnswer");
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(module.Symbol<int (*)()>("NoSuchExport"), nullptr);
  EXPECT_EQ(platform::GetProcAddress(module.get(), nullptr), nullptr);

  // The same file by its full path and with an upper-case extension.
  ModuleHandle byPath(platform::LoadLibraryA((ProgramDir() + "/libModuleTestLib.so").c_str()));
  ASSERT_TRUE(byPath);
  EXPECT_EQ(byPath.Symbol<int (*)()>("TestAnswer")(), 42);
  ModuleHandle upper(platform::LoadLibraryA("ModuleTestLib.DLL"));
  EXPECT_TRUE(upper);

  HMODULE raw = module.release();
  EXPECT_EQ(platform::FreeLibrary(raw), TRUE);
  EXPECT_FALSE(module);
}

TEST(ModuleTest, LoadStringCopiesCutsAtCharacterBoundariesAndReportsAbsence) {
  ModuleHandle module(platform::LoadLibraryA("ModuleTestLib.dll"));
  ASSERT_TRUE(module);
  char buf[16];

  EXPECT_EQ(platform::LoadStringA(module.get(), 1, buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "Hello");
  // Cut to size - 1 bytes, always terminated.
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(platform::LoadStringA(module.get(), 1, buf, 3), 2);
  EXPECT_STREQ(buf, "He");
  EXPECT_EQ(buf[3], 'x');  // nothing written past `size`

  // "a中b": room for three bytes keeps the whole character, room for two drops it whole.
  EXPECT_EQ(platform::LoadStringA(module.get(), 2, buf, 4), 3);
  EXPECT_STREQ(buf, "a\xD6\xD0");
  EXPECT_EQ(platform::LoadStringA(module.get(), 2, buf, 3), 1);
  EXPECT_STREQ(buf, "a");

  // Absent and empty strings give 0 and an empty buffer.
  std::strcpy(buf, "old");
  EXPECT_EQ(platform::LoadStringA(module.get(), 3, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  std::strcpy(buf, "old");
  EXPECT_EQ(platform::LoadStringA(module.get(), 99, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(platform::LoadStringA(module.get(), 1, buf, 1), 0);
  EXPECT_STREQ(buf, "");

  // No room or no buffer: nothing is written.
  std::strcpy(buf, "old");
  EXPECT_EQ(platform::LoadStringA(module.get(), 1, buf, 0), 0);
  EXPECT_EQ(platform::LoadStringA(module.get(), 1, buf, -1), 0);
  EXPECT_STREQ(buf, "old");
  EXPECT_EQ(platform::LoadStringA(module.get(), 1, nullptr, 16), 0);

  // A module without string resources, and no module at all.
  EXPECT_EQ(platform::LoadStringA(nullptr, 1, buf, sizeof buf), 0);
  ModuleHandle plain(platform::LoadLibraryA("platform.dll"));
  ASSERT_TRUE(plain);
  EXPECT_EQ(platform::LoadStringA(plain.get(), 1, buf, sizeof buf), 0);
}

}  // namespace
