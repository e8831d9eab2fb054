// CAboutDlg: the modal About box "关于 Talvek" with the product's picture, name and version and an
// OK button "确定".
#pragma once

#include <QDialog>
#include <QPixmap>

namespace talvek {

// The product's name and version as the About box shows them.
inline constexpr const char* kProductName = "Talvek";
inline constexpr const char* kProductVersion = "1.0";

// The About box's picture, drawn here so the program ships no image files.
QPixmap AboutPicture();

class CAboutDlg final : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace talvek
