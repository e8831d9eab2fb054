#include "workbench/ui/about_dlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "workbench/ui/dialog_buttons.h"

namespace talvek {

QPixmap AboutPicture() {
  // A 32 x 32 badge: a PLC rack with three modules and a status light.
  QPixmap picture(32, 32);
  picture.fill(Qt::transparent);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(QColor(40, 40, 40));
  p.setBrush(QColor(70, 110, 170));
  p.drawRect(2, 6, 27, 20);
  p.setBrush(QColor(220, 220, 220));
  for (int i = 0; i < 3; ++i)
    p.drawRect(5 + i * 8, 9, 6, 14);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(40, 180, 60));
  p.drawEllipse(QPoint(7, 12), 1, 1);
  return picture;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("aboutDialog"));
  setWindowTitle(QStringLiteral("关于 Talvek"));
  setModal(true);

  auto* picture = new QLabel(this);
  picture->setObjectName(QStringLiteral("aboutPicture"));
  picture->setPixmap(AboutPicture());
  picture->setAlignment(Qt::AlignTop);

  auto* text = new QLabel(this);
  text->setObjectName(QStringLiteral("aboutText"));
  text->setText(
      QStringLiteral("%1 %2 版").arg(QLatin1String(kProductName), QLatin1String(kProductVersion)));

  QDialogButtonBox* buttons = AddDialogButtons(*this, DialogButtons::kOk);

  auto* row = new QHBoxLayout;
  row->addWidget(picture);
  row->addWidget(text, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addWidget(buttons);
  setFixedSize(sizeHint());
}

}  // namespace talvek
