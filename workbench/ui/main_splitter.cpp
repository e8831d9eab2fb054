#include "workbench/ui/main_splitter.h"

#include <QMouseEvent>

namespace talvek {

CMainSplitterHandle::CMainSplitterHandle(Qt::Orientation orientation, QSplitter* parent)
    : QSplitterHandle(orientation, parent) {}

void CMainSplitterHandle::mousePressEvent(QMouseEvent* event) {
  const QPoint inSplitter = mapTo(splitter(), event->position().toPoint());
  if (event->button() == Qt::LeftButton && !SplitterBarGrabbableAt(inSplitter.x())) {
    // As if the click had hit nothing: the bar stays where it is.
    event->ignore();
    return;
  }
  dragging_ = event->button() == Qt::LeftButton;
  QSplitterHandle::mousePressEvent(event);
}

void CMainSplitterHandle::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_) {
    event->ignore();
    return;
  }
  QSplitterHandle::mouseMoveEvent(event);
}

void CMainSplitterHandle::mouseReleaseEvent(QMouseEvent* event) {
  const bool wasDragging = dragging_;
  dragging_ = false;
  if (!wasDragging) {
    event->ignore();
    return;
  }
  QSplitterHandle::mouseReleaseEvent(event);
}

void CMainSplitterHandle::moveEvent(QMoveEvent* event) {
  QSplitterHandle::moveEvent(event);
  UpdateCursor();
}

void CMainSplitterHandle::resizeEvent(QResizeEvent* event) {
  QSplitterHandle::resizeEvent(event);
  UpdateCursor();
}

void CMainSplitterHandle::UpdateCursor() {
  // The bar's rightmost column decides: if even that lies in the dead zone, nothing can grab it.
  const int right = geometry().right();
  if (SplitterBarGrabbableAt(right))
    setCursor(orientation() == Qt::Horizontal ? Qt::SplitHCursor : Qt::SplitVCursor);
  else
    setCursor(Qt::ArrowCursor);
}

CMainSplitter::CMainSplitter(QWidget* parent) : QSplitter(Qt::Horizontal, parent) {
  setObjectName(QStringLiteral("mainSplitter"));
}

QSplitterHandle* CMainSplitter::createHandle() {
  return new CMainSplitterHandle(orientation(), this);
}

}  // namespace talvek
