// CMainSplitter: the main window's client area, one row of two panes (the project tree left, the
// project list right) with a bar between them that the user drags.
//
// The bar cannot be grabbed at any point that lies within the leftmost kSplitterDeadZone pixels of
// the splitter, so a bar pushed to the very left edge is not picked up by a click meant for the
// window's frame.
//
//   auto* splitter = new CMainSplitter(frame);
//   splitter->addWidget(tree);
//   splitter->addWidget(list);
#pragma once

#include <QSplitter>
#include <QSplitterHandle>

namespace talvek {

// Points of the splitter whose x coordinate is at most this are never part of the bar.
inline constexpr int kSplitterDeadZone = 30;

// True when a point at `x` in the splitter's coordinates may grab the bar.
constexpr bool SplitterBarGrabbableAt(int x) {
  return x > kSplitterDeadZone;
}

// The bar: refuses presses in the dead zone and shows the split cursor only where it can be
// grabbed.
class CMainSplitterHandle final : public QSplitterHandle {
  Q_OBJECT

 public:
  CMainSplitterHandle(Qt::Orientation orientation, QSplitter* parent);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // Split cursor where the bar can be grabbed, the normal arrow where it cannot.
  void UpdateCursor();

  bool dragging_ = false;
};

class CMainSplitter final : public QSplitter {
  Q_OBJECT

 public:
  explicit CMainSplitter(QWidget* parent = nullptr);

 protected:
  QSplitterHandle* createHandle() override;
};

}  // namespace talvek
