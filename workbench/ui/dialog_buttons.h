// The button row of the workbench's own dialogs: OK (and Cancel) with their Chinese texts.
//
//   QDialogButtonBox* buttons = AddDialogButtons(*this, DialogButtons::kOkCancel);
//   layout->addWidget(buttons);
#pragma once

class QDialog;
class QDialogButtonBox;

namespace talvek {

enum class DialogButtons { kOk, kOkCancel };

// A button box owned by `dialog` holding "确定" (object name "okButton", the default button,
// accepting the dialog) and, for kOkCancel, "取消" ("cancelButton", rejecting it). The slots are
// the dialog's own accept() and reject(), overrides included. The caller places the box.
QDialogButtonBox* AddDialogButtons(QDialog& dialog, DialogButtons buttons);

}  // namespace talvek
