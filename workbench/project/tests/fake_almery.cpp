// A stand-in for the new-project wizard plug-in, for the document's tests: its Show answers what
// the test set beforehand instead of showing a wizard, and, when it "finishes", creates the project
// folder with its empty files as the real wizard does (no Comm.dat).
//
// The test loads this module with LoadLibraryA, as the document does, and drives it through the
// extra exports below; both see the same loaded module.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/gbk.h"

namespace {

constexpr std::size_t kBufferSize = 260;

std::string g_location;
std::string g_name;
int g_result = 0;
bool g_create = true;
bool g_fillWithoutNul = false;
int g_calls = 0;
bool g_buffersWereZero = false;

bool AllZero(const char* buffer) {
  for (std::size_t i = 0; i < kBufferSize; ++i) {
    if (buffer[i] != 0)
      return false;
  }
  return true;
}

void CreateEmptyFile(const std::filesystem::path& path) {
  std::ofstream(path, std::ios::binary | std::ios::trunc);
}

}  // namespace

extern "C" {

// What the next calls of Show answer: the location and name (GBK) copied into the buffers, the
// result, and whether a finished wizard creates the folder and files.
__attribute__((visibility("default"))) void FakeAlmerySet(const char* location, const char* name,
                                                          int result, int createFiles) {
  g_location = location;
  g_name = name;
  g_result = result;
  g_create = createFiles != 0;
  g_fillWithoutNul = false;
  g_calls = 0;
  g_buffersWereZero = false;
}

// Makes the next finished Show fill the name buffer to its last byte without a terminating NUL.
__attribute__((visibility("default"))) void FakeAlmeryFillWithoutNul() {
  g_fillWithoutNul = true;
}

// How often Show was called since the last FakeAlmerySet.
__attribute__((visibility("default"))) int FakeAlmeryCalls() {
  return g_calls;
}

// Whether both buffers held 260 zero bytes when Show was last called.
__attribute__((visibility("default"))) int FakeAlmeryBuffersWereZero() {
  return g_buffersWereZero ? 1 : 0;
}

__attribute__((visibility("default"))) int Show(char* location, char* name) {
  ++g_calls;
  g_buffersWereZero = AllZero(location) && AllZero(name);
  if (g_result == 0)
    return 0;  // cancelled: buffers untouched
  std::strncpy(location, g_location.c_str(), kBufferSize - 1);
  if (g_fillWithoutNul) {
    std::memset(name, 'n', kBufferSize);
    return g_result;
  }
  std::strncpy(name, g_name.c_str(), kBufferSize - 1);
  if (g_create) {
    // The buffers hold GBK; the file system names are UTF-8.
    const std::string location = platform::GbkToUtf8(g_location);
    const std::string projectName = platform::GbkToUtf8(g_name);
    const std::filesystem::path folder = std::filesystem::path(location) / projectName;
    std::error_code ec;
    std::filesystem::create_directory(folder, ec);
    CreateEmptyFile(folder / "Device.dat");
    CreateEmptyFile(folder / "Tag.dat");
    CreateEmptyFile(folder / "PicManage.dat");
    CreateEmptyFile(folder / (projectName + ".ZRPrj"));
  }
  return g_result;
}

}  // extern "C"
