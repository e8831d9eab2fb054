#include "workbench/ui/dialog_buttons.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>

#include "workbench/ui/message_box_sink.h"

namespace talvek {

QDialogButtonBox* AddDialogButtons(QDialog& dialog, DialogButtons buttons) {
  auto* box = new QDialogButtonBox(&dialog);
  QPushButton* ok = box->addButton(QString::fromUtf8(kOkButtonText), QDialogButtonBox::AcceptRole);
  ok->setObjectName(QStringLiteral("okButton"));
  ok->setDefault(true);
  QObject::connect(box, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  if (buttons == DialogButtons::kOkCancel) {
    QPushButton* cancel =
        box->addButton(QString::fromUtf8(kCancelButtonText), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    QObject::connect(box, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  }
  return box;
}

}  // namespace talvek
