#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "common/testing/test_support.h"

namespace {

namespace fs = std::filesystem;
using platform::AtomicWriteOptions;
using platform::WriteFileAtomically;
using testing_support::FilesIn;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

std::vector<uint8_t> Bytes(std::string_view text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Writes the first 4 bytes, then reports a full disk.
ssize_t FullAfterFourBytes(int fd, const void* data, std::size_t size) {
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size >= 4) {
    errno = ENOSPC;
    return -1;
  }
  return ::write(fd, data, std::min<std::size_t>(size, 4));
}

// Makes no progress; after many calls it fails, so that a writer that loops on 0 ends the test
// with a wrong answer instead of hanging it.
int g_zeroCalls = 0;
ssize_t NoProgress(int, const void*, std::size_t) {
  if (++g_zeroCalls > 1000) {
    errno = EIO;
    return -1;
  }
  return 0;
}

class AtomicFileTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = (dir / "data.bin").string();
};

TEST_F(AtomicFileTest, WritesAndReplacesTheWholeFileWithItsMode) {
  AtomicWriteOptions options;
  options.mode = 0640;
  ASSERT_EQ(WriteFileAtomically(path, std::string_view("first content"), options), 0);
  EXPECT_EQ(ReadFileBytes(path), Bytes("first content"));
  EXPECT_EQ(fs::status(path).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  // Shorter content, interrupted and short writes, default (owner-only) mode, status reported.
  const std::byte bytes[] = {std::byte{0x00}, std::byte{0xB9}, std::byte{0xA4}, std::byte{0x0A},
                             std::byte{0xFF}, std::byte{0x5C}, std::byte{0x00}};
  struct stat written;
  AtomicWriteOptions privateFile;
  privateFile.written = &written;
  privateFile.write = &testing_support::ShortAndInterruptedWrite<3>;
  ASSERT_EQ(WriteFileAtomically(path, std::span(bytes), privateFile), 0);
  EXPECT_EQ(ReadFileBytes(path), (std::vector<uint8_t>{0x00, 0xB9, 0xA4, 0x0A, 0xFF, 0x5C, 0x00}));
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  struct stat now;
  ASSERT_EQ(::stat(path.c_str(), &now), 0);
  EXPECT_EQ(written.st_ino, now.st_ino);
  EXPECT_EQ(written.st_size, 7);

  // Empty content, no flush to disk.
  AtomicWriteOptions noSync;
  noSync.syncToDisk = false;
  ASSERT_EQ(WriteFileAtomically(path, std::string_view(), noSync), 0);
  EXPECT_EQ(ReadFileBytes(path), std::vector<uint8_t>{});
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"data.bin"}));
}

TEST_F(AtomicFileTest, FailureKeepsTheOldFileAndRemovesTheTemporary) {
  ASSERT_EQ(WriteFileAtomically(path, std::string_view("old")), 0);

  AtomicWriteOptions full;
  full.write = &FullAfterFourBytes;
  errno = 0;
  EXPECT_EQ(WriteFileAtomically(path, std::string_view("new and longer"), full), ENOSPC);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(ReadFileBytes(path), Bytes("old"));
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"data.bin"}));

  // The rename fails: a folder that is not empty cannot be replaced by a file.
  fs::create_directories(dir / "busy" / "inside");
  const int error = WriteFileAtomically((dir / "busy").string(), std::string_view("x"));
  EXPECT_TRUE(error == EISDIR || error == ENOTEMPTY || error == EEXIST) << error;
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"busy", "data.bin"}));

  // No folder to put the temporary file in.
  EXPECT_EQ(WriteFileAtomically((dir / "missing" / "f").string(), std::string_view("x")), ENOENT);
}

TEST_F(AtomicFileTest, WriteThatMakesNoProgressFailsInsteadOfLooping) {
  ASSERT_EQ(WriteFileAtomically(path, std::string_view("old")), 0);
  g_zeroCalls = 0;
  AtomicWriteOptions stuck;
  stuck.write = &NoProgress;
  EXPECT_EQ(WriteFileAtomically(path, std::string_view("new"), stuck), ENOSPC);
  EXPECT_EQ(g_zeroCalls, 1);
  EXPECT_EQ(ReadFileBytes(path), Bytes("old"));
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"data.bin"}));
}

TEST_F(AtomicFileTest, RemoveFileReportsTheError) {
  ASSERT_EQ(WriteFileAtomically(path, std::string_view("x")), 0);
  EXPECT_EQ(platform::RemoveFile(path), 0);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(platform::RemoveFile(path), ENOENT);
}

}  // namespace
