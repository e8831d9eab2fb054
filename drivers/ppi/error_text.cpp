#include "drivers/ppi/error_text.h"

#include <cstring>
#include <mutex>

#include "platform/module.h"

namespace ppi {
namespace {

// Shared by every driver object of the module. The host asks for texts from its user-interface
// thread only, but two driver objects on two polling threads may both reach here; the mutex
// keeps one fill from running over another.
std::mutex g_mutex;
char g_buffer[kErrorTextSize];
bool g_holdsCode = false;
int32_t g_heldCode = 0;

void Fill(int32_t code, const char* library) {
  platform::ModuleHandle module(platform::LoadLibraryA(library));
  if (!module) {
    std::strcpy(g_buffer, kTextLibraryMissing);
    return;
  }
  if (platform::LoadStringA(module.get(), static_cast<UINT>(code), g_buffer, kErrorTextSize) == 0)
    std::strcpy(g_buffer, kTextUnknownError);
}

}  // namespace

const char* ErrorText(int32_t code, const char* library) {
  if (code == -1)
    return nullptr;
  std::lock_guard lock(g_mutex);
  if (!g_holdsCode || g_heldCode != code) {
    Fill(code, library);
    g_heldCode = code;
    g_holdsCode = true;
  }
  return g_buffer;
}

}  // namespace ppi
