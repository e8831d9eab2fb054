// ProjListIcons: the row images of the project list, drawn with QPainter rather than loaded, so
// the program carries no bitmap files. Each image comes in 16 and 32 pixels: a device cabinet,
// one disc per variable type, a monitor for screens.
//
//   const ProjListIcons icons;            // draws every image once
//   QIcon image = icons.Tag(tag.varType);  // null for a type outside 0..3
#pragma once

#include <array>
#include <cstdint>

#include <QIcon>

namespace talvek {

class ProjListIcons {
 public:
  // Draws every image; needs a QGuiApplication.
  ProjListIcons();

  const QIcon& Device() const { return device_; }
  // The image of variable type `varType` (0..3); a null icon for any other.
  QIcon Tag(std::int32_t varType) const;
  const QIcon& Screen() const { return screen_; }

 private:
  QIcon device_;
  std::array<QIcon, 4> tags_;  // by varType
  QIcon screen_;
};

}  // namespace talvek
