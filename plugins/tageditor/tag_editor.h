// The tag editor's module services: its message boxes, its trace lines, and the editing session
// that one call of Show works in (the caller's tables and record, and the protocol driver loaded
// to list and check registers).
//
//   TagEditSession session{&devices, &tag, &tags};
//   TagEditDlg dialog(session);
//   const bool confirmed = dialog.exec() == QDialog::Accepted;
//   // the session's destructor releases the driver it loaded
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <QString>

#include "common/device_array.h"
#include "common/driver_contract.h"
#include "platform/com_ptr.h"

class QWidget;

namespace talvek::tageditor {

// Caption of the dialog and of its message boxes.
inline constexpr const char* kCaption = "变量维护";

// Shows `text` in a warning box captioned kCaption with an OK button ("确定"), or hands it to the
// plug-ins' message hook (common/message_hook.h), through which tests answer and record the boxes.
void ShowMessage(QWidget* parent, const QString& text);

// Writes one trace line (UTF-8, "\r\n"-terminated) to standard output and flushes it, so the
// lines keep their order with the caller's own output.
void Trace(const char* line);

// What one Show works on. The tables and the record belong to the caller; the driver belongs to
// the session and is released with it.
struct TagEditSession {
  DeviceArray* devices = nullptr;          // read only; may be null (no devices)
  TagRecord* tag = nullptr;                // the record edited in place on OK
  std::vector<TagRecord>* tags = nullptr;  // read only, for the duplicate-name check; may be null
  platform::ComPtr<IProtocolDriver> driver;  // the loaded protocol driver, or none
  std::string driverModel;                 // GBK model name of the device whose driver is loaded
  CLSID driverClsid{};                     // class of the loaded driver

  // The devices as a span (empty without a device table).
  std::span<const DeviceRecord> Devices() const;
  // Releases the driver held, if any.
  void ReleaseDriver();
  // Loads the driver of the first device whose model is `model` (GBK, exact). Shows the failure
  // ("没有从系统中找到该驱动..." or "加载驱动失败!") over `parent` and returns false.
  bool LoadDriver(std::string_view model, QWidget* parent);
  // The driver's own text (GBK) for refusing `in`, or "" when it has none. A driver keeps its last
  // error until the next one it sets, and some refusals set none (an unknown area), so the held
  // object's text may belong to an earlier register. The check is repeated on a new object of
  // the same class, whose text can only be this refusal's.
  std::string RefusalText(const TagAddressInput& in) const;
};

// Runs the modal dialog on `tag`. 1 when it was closed with OK (the record was rewritten), 0
// otherwise, also for a null record, without a QApplication, or on any internal failure.
int ShowTagEditor(DeviceArray* devices, TagRecord* tag, std::vector<TagRecord>* tags);

}  // namespace talvek::tageditor
