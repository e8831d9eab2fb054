#include "platform/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/testing/test_support.h"

namespace {

using platform::Registry;
using testing_support::ScopedEnv;
using testing_support::TempDir;

constexpr char kSettings[] = "HKEY_CURRENT_USER\\Software\\VO DAROR\\Q9\\Settings";
// "当前项目路径" in UTF-8, as the UI names the value.
constexpr char kProjectPathName[] =
    "\xE5\xBD\x93\xE5\x89\x8D\xE9\xA1\xB9\xE7\x9B\xAE\xE8\xB7\xAF\xE5\xBE\x84";
// "/home/用户/工程" in GBK: not UTF-8, and holds a trail byte 0x5C that looks like '\'.
const std::string kGbkFolder = "/home/\xD3\xC3\xBB\xA7/\xB9\xA4\xB3\xCC/\x81\x5C";

// Points the store at a fresh folder for one test.
class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest() : env_("TALVEK_CONFIG_DIR", dir_.str()) { Reg().Reload(); }
  ~RegistryTest() override { Reg().Reload(); }

  static Registry& Reg() { return Registry::Instance(); }
  std::filesystem::path HiveFile(const char* hive) const {
    return dir_ / (std::string(hive) + ".reg");
  }

  TempDir dir_;
  ScopedEnv env_;
};

TEST_F(RegistryTest, ConfigDirComesFromTheEnvironment) {
  EXPECT_EQ(Reg().ConfigDir(), dir_.str());
  {
    ScopedEnv none("TALVEK_CONFIG_DIR", "");
    ScopedEnv xdg("XDG_CONFIG_HOME", "/xdg/config");
    Reg().Reload();
    EXPECT_EQ(Reg().ConfigDir(), "/xdg/config/VO DAROR");
  }
  {
    ScopedEnv none("TALVEK_CONFIG_DIR", "");
    ScopedEnv xdg("XDG_CONFIG_HOME", "");
    ScopedEnv home("HOME", "/home/tester");
    Reg().Reload();
    EXPECT_EQ(Reg().ConfigDir(), "/home/tester/.config/VO DAROR");
  }
}

TEST_F(RegistryTest, StringsAndNumbersRoundTripThroughTheFile) {
  ASSERT_TRUE(Reg().SetString(kSettings, "Name", "value"));
  ASSERT_TRUE(Reg().SetDword(kSettings, "Count", 0xFFFFFFFFu));
  ASSERT_TRUE(Reg().SetDword(kSettings, "Zero", 0));
  EXPECT_TRUE(std::filesystem::exists(HiveFile("HKEY_CURRENT_USER")));
  EXPECT_FALSE(std::filesystem::exists(HiveFile("HKEY_CLASSES_ROOT")));

  Reg().Reload();
  EXPECT_EQ(Reg().GetString(kSettings, "Name"), "value");
  EXPECT_EQ(Reg().GetDword(kSettings, "Count"), 0xFFFFFFFFu);
  EXPECT_EQ(Reg().GetDword(kSettings, "Zero"), 0u);
  // A value of the other type reads as absent.
  EXPECT_EQ(Reg().GetDword(kSettings, "Name"), std::nullopt);
  EXPECT_EQ(Reg().GetString(kSettings, "Count"), std::nullopt);
  EXPECT_EQ(Reg().GetString(kSettings, "Missing"), std::nullopt);
  EXPECT_EQ(Reg().GetString("HKEY_CURRENT_USER\\Nowhere", "Name"), std::nullopt);

  // Overwriting changes the type too.
  ASSERT_TRUE(Reg().SetString(kSettings, "Count", "text"));
  EXPECT_EQ(Reg().GetDword(kSettings, "Count"), std::nullopt);
  EXPECT_EQ(Reg().GetString(kSettings, "Count"), "text");
}

TEST_F(RegistryTest, DefaultValueIsTheEmptyName) {
  const char* key = "HKEY_CLASSES_ROOT\\Talvek.Thing";
  ASSERT_TRUE(Reg().SetString(std::string(key) + "\\CLSID", "", "{X}"));
  // Creating a sub-key creates the parent, but gives it no default value.
  EXPECT_TRUE(Reg().KeyExists(key));
  EXPECT_EQ(Reg().GetString(key, ""), std::nullopt);
  ASSERT_TRUE(Reg().SetString(key, "", "Talvek.Thing"));
  ASSERT_TRUE(Reg().SetString(key, "Other", "x"));
  Reg().Reload();
  EXPECT_EQ(Reg().GetString(key, ""), "Talvek.Thing");
  EXPECT_EQ(Reg().GetString(std::string(key) + "\\CLSID", ""), "{X}");
}

TEST_F(RegistryTest, NamesIgnoreAsciiCaseButKeepTheirFirstSpelling) {
  ASSERT_TRUE(Reg().SetString("HKEY_CURRENT_USER\\Software\\MyApp", "Value", "1"));
  ASSERT_TRUE(Reg().SetString("hkey_current_user\\SOFTWARE\\myapp", "VALUE", "2"));
  ASSERT_TRUE(Reg().SetString("HKCU\\software\\MYAPP\\Sub", "v", "3"));

  EXPECT_EQ(Reg().GetString("HKEY_CURRENT_USER\\software\\MYAPP", "vAlUe"), "2");
  EXPECT_EQ(Reg().SubKeys("HKEY_CURRENT_USER\\Software"), std::vector<std::string>{"MyApp"});
  EXPECT_EQ(Reg().SubKeys("HKEY_CURRENT_USER"), std::vector<std::string>{"Software"});
  // Doubled and trailing separators name the same key.
  EXPECT_EQ(Reg().GetString("HKEY_CURRENT_USER\\\\Software\\MyApp\\", "value"), "2");

  Reg().Reload();
  EXPECT_EQ(Reg().SubKeys("HKCU\\SOFTWARE\\MYAPP"), std::vector<std::string>{"Sub"});
  const auto text = testing_support::ReadFileBytes(HiveFile("HKEY_CURRENT_USER"));
  ASSERT_TRUE(text);
  const std::string content(text->begin(), text->end());
  EXPECT_NE(content.find("\"Value\"=s:\"2\""), std::string::npos) << content;
}

TEST_F(RegistryTest, OnlyAsciiLettersFold) {
  const char* key = "HKEY_CURRENT_USER\\Fold";
  // UTF-8 names: the ASCII letter after a Chinese character still folds.
  ASSERT_TRUE(Reg().SetString(key,
                              "\xE5\xBD\x93"
                              "A",
                              "utf8"));
  EXPECT_EQ(Reg().GetString(key,
                            "\xE5\xBD\x93"
                            "a"),
            "utf8");
  // GBK names: 0x81 0x41 and 0x81 0x61 are two characters, whose trail bytes merely look like
  // 'A' and 'a'.
  ASSERT_TRUE(Reg().SetString(key, "\x81\x41", "first"));
  ASSERT_TRUE(Reg().SetString(key, "\x81\x61", "second"));
  EXPECT_EQ(Reg().GetString(key, "\x81\x41"), "first");
  EXPECT_EQ(Reg().GetString(key, "\x81\x61"), "second");
  // Non-ASCII letters are compared as bytes.
  ASSERT_TRUE(Reg().SetString(key, "\xC3\xA9", "e-acute"));
  EXPECT_EQ(Reg().GetString(key, "\xC3\x89"), std::nullopt);
}

TEST_F(RegistryTest, GbkValuesAndChineseNamesSurviveByteExact) {
  const std::string chineseKey = std::string(kSettings) + "\\\xE9\xA1\xB9\xE7\x9B\xAE";  // 项目
  ASSERT_TRUE(Reg().SetString(kSettings, kProjectPathName, kGbkFolder));
  ASSERT_TRUE(Reg().SetString(chineseKey, "\xD6\xD0\xCE\xC4", "gbk name"));  // 中文 in GBK
  std::string allBytes;
  for (int b = 0; b < 256; ++b)
    allBytes += static_cast<char>(b);
  ASSERT_TRUE(Reg().SetString(kSettings, "all bytes", allBytes));
  ASSERT_TRUE(Reg().SetString(kSettings, "quote\"%[]\\=\n\r", "[x]\n\"y\"%41"));

  Reg().Reload();
  EXPECT_EQ(Reg().GetString(kSettings, kProjectPathName), kGbkFolder);
  EXPECT_EQ(Reg().GetString(chineseKey, "\xD6\xD0\xCE\xC4"), "gbk name");
  EXPECT_EQ(Reg().GetString(kSettings, "all bytes"), allBytes);
  EXPECT_EQ(Reg().GetString(kSettings, "quote\"%[]\\=\n\r"), "[x]\n\"y\"%41");

  // Chinese key names stay readable in the file; GBK bytes are escaped, so the file is UTF-8.
  const auto bytes = testing_support::ReadFileBytes(HiveFile("HKEY_CURRENT_USER"));
  ASSERT_TRUE(bytes);
  const std::string content(bytes->begin(), bytes->end());
  EXPECT_NE(content.find(kProjectPathName), std::string::npos);
  EXPECT_NE(content.find("%D3%C3"), std::string::npos);
  EXPECT_EQ(content.find('\xD3'), std::string::npos);
}

TEST_F(RegistryTest, DeleteKeyRemovesEverythingBelow) {
  const std::string base = "HKEY_CLASSES_ROOT\\CLSID\\{A}";
  ASSERT_TRUE(Reg().SetString(base, "", "A"));
  ASSERT_TRUE(Reg().SetString(base + "\\InProcServer32", "", "/lib/a.so"));
  ASSERT_TRUE(Reg().SetString(base + "\\ProgID\\Deeper", "x", "y"));
  ASSERT_TRUE(Reg().SetString("HKEY_CLASSES_ROOT\\CLSID\\{B}", "", "B"));

  ASSERT_TRUE(Reg().DeleteKey("hkey_classes_root\\clsid\\{a}"));
  EXPECT_FALSE(Reg().KeyExists(base));
  EXPECT_FALSE(Reg().KeyExists(base + "\\ProgID\\Deeper"));
  EXPECT_EQ(Reg().SubKeys("HKEY_CLASSES_ROOT\\CLSID"), std::vector<std::string>{"{B}"});
  // Removing what is not there succeeds; a whole hive cannot be removed.
  EXPECT_TRUE(Reg().DeleteKey(base));
  EXPECT_TRUE(Reg().DeleteKey("HKEY_CLASSES_ROOT\\No\\Such\\Key"));
  EXPECT_FALSE(Reg().DeleteKey("HKEY_CLASSES_ROOT"));

  Reg().Reload();
  EXPECT_FALSE(Reg().KeyExists(base));
  EXPECT_EQ(Reg().GetString("HKEY_CLASSES_ROOT\\CLSID\\{B}", ""), "B");
}

TEST_F(RegistryTest, DeleteValueLeavesTheKey) {
  ASSERT_TRUE(Reg().SetString(kSettings, "a", "1"));
  ASSERT_TRUE(Reg().SetDword(kSettings, "b", 2));
  ASSERT_TRUE(Reg().DeleteValue(kSettings, "A"));
  EXPECT_TRUE(Reg().DeleteValue(kSettings, "a"));
  EXPECT_TRUE(Reg().DeleteValue("HKEY_CURRENT_USER\\Nowhere", "a"));
  Reg().Reload();
  EXPECT_TRUE(Reg().KeyExists(kSettings));
  EXPECT_EQ(Reg().GetString(kSettings, "a"), std::nullopt);
  EXPECT_EQ(Reg().GetDword(kSettings, "b"), 2u);
}

TEST_F(RegistryTest, SubKeysKeepCreationOrderAcrossReload) {
  const char* recent = "HKEY_CURRENT_USER\\Software\\VO DAROR\\Q9";
  for (const char* name : {"Settings", "Recent File List", "Bars", "A"}) {
    ASSERT_TRUE(Reg().SetString(std::string(recent) + "\\" + name, "", name));
  }
  const std::vector<std::string> expected = {"Settings", "Recent File List", "Bars", "A"};
  EXPECT_EQ(Reg().SubKeys(recent), expected);
  Reg().Reload();
  EXPECT_EQ(Reg().SubKeys(recent), expected);
  EXPECT_TRUE(Reg().KeyExists("HKEY_CURRENT_USER\\Software\\VO DAROR"));
  EXPECT_TRUE(Reg().SubKeys("HKEY_CURRENT_USER\\Nowhere").empty());
}

TEST_F(RegistryTest, UnknownHiveIsRefused) {
  EXPECT_FALSE(Reg().SetString("HKEY_NOWHERE\\Key", "a", "b"));
  EXPECT_FALSE(Reg().SetString("", "a", "b"));
  EXPECT_EQ(Reg().GetString("HKEY_NOWHERE\\Key", "a"), std::nullopt);
  EXPECT_FALSE(Reg().KeyExists("Software"));
  EXPECT_TRUE(Reg().KeyExists("HKEY_CURRENT_USER"));
}

TEST_F(RegistryTest, CorruptLinesAreSkipped) {
  const std::string text =
      "; a hand-edited file\r\n"
      "\"root value\"=d:7\n"
      "[Good]\n"
      "\"a\"=s:\"1\"\r\n"
      "\"bad escape\"=s:\"%G1\"\n"
      "\"unterminated=s:\"x\"\n"
      "\"too big\"=d:4294967296\n"
      "\"not a number\"=d:12x\n"
      "\"no type\"=q:\"x\"\n"
      "garbage without quotes\n"
      "\"quote inside\"=s:\"a\"b\"\n"
      "[Broken\\%ZZ]\n"
      "\"lost\"=s:\"belongs to the broken key\"\n"
      "[Good\\\\Empty part]\n"
      "\"lost too\"=s:\"x\"\n"
      "[Good\\Child]\n"
      "\"b\"=s:\"2\"\n"
      "[Good]\n"
      "\"a\"=s:\"last one wins\"\n"
      "\"c\"=d:3";  // no final newline
  ASSERT_TRUE(testing_support::WriteFileBytes(HiveFile("HKEY_CURRENT_USER"),
                                              std::vector<uint8_t>(text.begin(), text.end())));
  Reg().Reload();
  EXPECT_EQ(Reg().GetDword("HKEY_CURRENT_USER", "root value"), 7u);
  EXPECT_EQ(Reg().GetString("HKEY_CURRENT_USER\\Good", "a"), "last one wins");
  EXPECT_EQ(Reg().GetDword("HKEY_CURRENT_USER\\Good", "c"), 3u);
  EXPECT_EQ(Reg().GetString("HKEY_CURRENT_USER\\Good\\Child", "b"), "2");
  EXPECT_EQ(Reg().SubKeys("HKEY_CURRENT_USER"), std::vector<std::string>{"Good"});
  EXPECT_EQ(Reg().SubKeys("HKEY_CURRENT_USER\\Good"), std::vector<std::string>{"Child"});
  for (const char* name : {"bad escape", "too big", "not a number", "no type", "quote inside"}) {
    EXPECT_EQ(Reg().GetString("HKEY_CURRENT_USER\\Good", name), std::nullopt) << name;
    EXPECT_EQ(Reg().GetDword("HKEY_CURRENT_USER\\Good", name), std::nullopt) << name;
  }

  // Writing back keeps what parsed, and the result parses the same way.
  ASSERT_TRUE(Reg().SetString("HKEY_CURRENT_USER\\Good", "d", "4"));
  Reg().Reload();
  EXPECT_EQ(Reg().GetString("HKEY_CURRENT_USER\\Good", "a"), "last one wins");
  EXPECT_EQ(Reg().GetDword("HKEY_CURRENT_USER", "root value"), 7u);
  EXPECT_EQ(Reg().GetString("HKEY_CURRENT_USER\\Good\\Child", "b"), "2");
}

TEST_F(RegistryTest, FileStaysParseableAfterManyWrites) {
  std::vector<std::string> values;
  for (int i = 0; i < 200; ++i) {
    std::string v;
    for (int k = 0; k <= i % 40; ++k) {
      v += static_cast<char>((i * 37 + k * 11) & 0xFF);
    }
    values.push_back(v);
    const std::string key = "HKEY_CURRENT_USER\\Many\\K" + std::to_string(i % 17);
    ASSERT_TRUE(Reg().SetString(key, "v" + std::to_string(i), v));
    if (i % 5 == 0) {
      ASSERT_TRUE(Reg().SetDword(key, "n", static_cast<uint32_t>(i)));
    }
  }
  Reg().Reload();
  for (int i = 0; i < 200; ++i) {
    const std::string key = "HKEY_CURRENT_USER\\Many\\K" + std::to_string(i % 17);
    ASSERT_EQ(Reg().GetString(key, "v" + std::to_string(i)), values[i]) << i;
  }
  EXPECT_EQ(Reg().SubKeys("HKEY_CURRENT_USER\\Many").size(), 17u);
  // No temporary files are left behind.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    ++files;
    EXPECT_EQ(entry.path().filename(), "HKEY_CURRENT_USER.reg");
  }
  EXPECT_EQ(files, 1);
}

TEST_F(RegistryTest, WritesFromManyThreadsAllLand) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 25; ++i) {
        const std::string key = "HKEY_CURRENT_USER\\T" + std::to_string(t);
        if (!Reg().SetDword(key, "n" + std::to_string(i), static_cast<uint32_t>(t * 100 + i)) ||
            Reg().GetDword(key, "n" + std::to_string(i)) != static_cast<uint32_t>(t * 100 + i)) {
          ++failures;
        }
      }
    });
  }
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(failures, 0);
  Reg().Reload();
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 25; ++i) {
      EXPECT_EQ(Reg().GetDword("HKEY_CURRENT_USER\\T" + std::to_string(t), "n" + std::to_string(i)),
                static_cast<uint32_t>(t * 100 + i));
    }
  }
}

TEST_F(RegistryTest, ChangesByAnotherProcessAreSeen) {
  ASSERT_TRUE(Reg().SetString(kSettings, "mine", "1"));
  // Another process (a registration tool) replaces the classes file and adds to the user file.
  const std::string classes = "[Talvek.Other]\n\"\"=s:\"Talvek.Other\"\n";
  ASSERT_TRUE(testing_support::WriteFileBytes(
      HiveFile("HKEY_CLASSES_ROOT"), std::vector<uint8_t>(classes.begin(), classes.end())));
  EXPECT_EQ(Reg().GetString("HKEY_CLASSES_ROOT\\Talvek.Other", ""), "Talvek.Other");

  auto user = testing_support::ReadFileBytes(HiveFile("HKEY_CURRENT_USER"));
  ASSERT_TRUE(user);
  const std::string extra = "[Other]\n\"theirs\"=d:5\n";
  user->insert(user->end(), extra.begin(), extra.end());
  const auto tmp = dir_ / "replacement";
  ASSERT_TRUE(testing_support::WriteFileBytes(tmp, *user));
  std::filesystem::rename(tmp, HiveFile("HKEY_CURRENT_USER"));
  // Our next write merges with their content instead of overwriting it.
  ASSERT_TRUE(Reg().SetString(kSettings, "mine", "2"));
  Reg().Reload();
  EXPECT_EQ(Reg().GetDword("HKEY_CURRENT_USER\\Other", "theirs"), 5u);
  EXPECT_EQ(Reg().GetString(kSettings, "mine"), "2");
}

// Failed writes: the call reports false and neither the memory nor the file change.
class RegistryFailureTest : public RegistryTest {
 protected:
  void ExpectUnchanged() {
    EXPECT_EQ(Reg().GetString(kSettings, "kept"), "old");
    EXPECT_FALSE(Reg().KeyExists("HKEY_CURRENT_USER\\New"));
    EXPECT_EQ(Reg().GetDword(kSettings, "n"), 1u);
    Reg().Reload();
    EXPECT_EQ(Reg().GetString(kSettings, "kept"), "old");
    EXPECT_FALSE(Reg().KeyExists("HKEY_CURRENT_USER\\New"));
    EXPECT_EQ(Reg().GetDword(kSettings, "n"), 1u);
  }
  void TryChanges() {
    EXPECT_FALSE(Reg().SetString(kSettings, "kept", std::string(4096, 'x')));
    EXPECT_FALSE(Reg().SetString("HKEY_CURRENT_USER\\New\\Deeper", "a", std::string(4096, 'x')));
    EXPECT_FALSE(Reg().SetDword(kSettings, "n", 2));
    EXPECT_FALSE(Reg().DeleteKey(kSettings));
    EXPECT_EQ(Reg().GetString(kSettings, "kept"), "old");
    EXPECT_FALSE(Reg().KeyExists("HKEY_CURRENT_USER\\New"));
  }
  void WriteOld() {
    ASSERT_TRUE(Reg().SetString(kSettings, "kept", "old"));
    ASSERT_TRUE(Reg().SetDword(kSettings, "n", 1));
  }
};

TEST_F(RegistryFailureTest, ReadOnlyFolder) {
  WriteOld();
  ASSERT_EQ(chmod(dir_.str().c_str(), 0500), 0);
  const bool unprivileged = testing_support::RunWithoutRootRights(dir_.path(), [&] {
    TryChanges();
    ExpectUnchanged();
    return !HasFailure();
  });
  EXPECT_TRUE(unprivileged) << "the case failed or could not run as an unprivileged user";
  chmod(dir_.str().c_str(), 0700);
  ExpectUnchanged();
}

TEST_F(RegistryFailureTest, FullDisk) {
  // A file-size limit makes the write fail the way a full disk does, for root too.
  WriteOld();
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit limit = old;
  limit.rlim_cur = 16;  // smaller than any hive file, even after a deletion
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  TryChanges();
  setrlimit(RLIMIT_FSIZE, &old);
  sigaction(SIGXFSZ, &previous, nullptr);
  ExpectUnchanged();
  // The failed attempts left no temporary files.
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST_F(RegistryTest, FolderThatCannotBeCreated) {
  const auto blocker = dir_ / "file";
  ASSERT_TRUE(testing_support::WriteFileBytes(blocker, {'x'}));
  ScopedEnv env("TALVEK_CONFIG_DIR", (blocker / "config").string());
  Reg().Reload();
  EXPECT_FALSE(Reg().SetString(kSettings, "a", "b"));
  EXPECT_EQ(Reg().GetString(kSettings, "a"), std::nullopt);
  EXPECT_FALSE(Reg().KeyExists(kSettings));
}

TEST_F(RegistryTest, CreatesTheFolderOnFirstWrite) {
  ScopedEnv env("TALVEK_CONFIG_DIR", (dir_ / "a" / "b" / "VO DAROR").string());
  Reg().Reload();
  EXPECT_FALSE(std::filesystem::exists(dir_ / "a"));
  EXPECT_EQ(Reg().GetString(kSettings, "a"), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "a"));
  ASSERT_TRUE(Reg().SetString(kSettings, "a", "b"));
  EXPECT_TRUE(std::filesystem::exists(dir_ / "a" / "b" / "VO DAROR" / "HKEY_CURRENT_USER.reg"));
}

TEST_F(RegistryTest, UnreadableFileIsNotOverwritten) {
  ASSERT_TRUE(Reg().SetString(kSettings, "kept", "old"));
  ASSERT_EQ(chmod(HiveFile("HKEY_CURRENT_USER").c_str(), 0200), 0);
  const bool unprivileged = testing_support::RunWithoutRootRights(dir_.path(), [&] {
    Reg().Reload();
    EXPECT_FALSE(Reg().SetString(kSettings, "other", "x"));
    return !HasFailure();
  });
  EXPECT_TRUE(unprivileged) << "the case failed or could not run as an unprivileged user";
  ASSERT_EQ(chmod(HiveFile("HKEY_CURRENT_USER").c_str(), 0600), 0);
  Reg().Reload();
  EXPECT_EQ(Reg().GetString(kSettings, "kept"), "old");
}

}  // namespace
