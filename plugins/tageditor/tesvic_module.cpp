// libTesvic.so: the tag editor plug-in. The workbench loads it by file name ("Tesvic.dll") and
// calls its one export, Show. Everything else in the module stays hidden.
#include "platform/com.h"
#include "plugins/tageditor/tag_editor.h"

namespace {

// COM is initialised for as long as the module is loaded: the editor creates drivers with it.
struct ModuleCom {
  ModuleCom() { platform::CoInitialize(nullptr); }
  ~ModuleCom() { platform::CoUninitialize(); }
};
ModuleCom g_moduleCom;

}  // namespace

// Edits `tag` in the dialog "变量维护". `devices` and `tags` are the project's tables, read only;
// `tag` may lie inside `tags` (its own entry is skipped in the duplicate-name check). 1 when the
// dialog was closed with OK and the record rewritten, 0 otherwise. Nothing is thrown.
extern "C" __attribute__((visibility("default"))) int Show(talvek::DeviceArray* devices,
                                                           TagRecord* tag,
                                                           std::vector<TagRecord>* tags) {
  return talvek::tageditor::ShowTagEditor(devices, tag, tags);
}
