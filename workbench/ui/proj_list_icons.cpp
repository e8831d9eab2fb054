#include "workbench/ui/proj_list_icons.h"

#include <functional>

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "common/records.h"

namespace talvek {
namespace {

QPixmap DrawImage(int size, const std::function<void(QPainter&, qreal)>& draw) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / 16.0, size / 16.0);
  draw(painter, size / 16.0);
  return pixmap;
}

QIcon MakeIcon(const std::function<void(QPainter&, qreal)>& draw) {
  QIcon icon;
  icon.addPixmap(DrawImage(16, draw));
  icon.addPixmap(DrawImage(32, draw));
  return icon;
}

// A device: a grey cabinet with two status lamps.
void DrawDevice(QPainter& p, qreal) {
  p.setPen(QPen(QColor(60, 60, 60), 1));
  p.setBrush(QColor(170, 176, 184));
  p.drawRoundedRect(QRectF(2.5, 1.5, 11, 13), 1.5, 1.5);
  p.setBrush(QColor(90, 96, 104));
  p.drawRect(QRectF(4.5, 3.5, 7, 4));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(40, 200, 60));
  p.drawEllipse(QRectF(4.5, 10, 2.5, 2.5));
  p.setBrush(QColor(230, 160, 20));
  p.drawEllipse(QRectF(8.5, 10, 2.5, 2.5));
}

// A tag: a coloured disc per variable type with a small mark of the type.
void DrawTag(QPainter& p, int varType) {
  static const QColor colours[4] = {QColor(40, 150, 70), QColor(40, 100, 200), QColor(200, 110, 30),
                                    QColor(140, 60, 170)};
  p.setPen(QPen(colours[varType].darker(140), 1));
  p.setBrush(colours[varType]);
  p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
  p.setPen(QPen(Qt::white, 1.4));
  p.setBrush(Qt::NoBrush);
  switch (varType) {
    case kVarDiscrete: {  // a square wave
      QPainterPath wave;
      wave.moveTo(4, 10);
      wave.lineTo(6, 10);
      wave.lineTo(6, 6);
      wave.lineTo(10, 6);
      wave.lineTo(10, 10);
      wave.lineTo(12, 10);
      p.drawPath(wave);
      break;
    }
    case kVarInteger:  // "#"
      p.drawLine(QPointF(6.5, 4.5), QPointF(6, 11.5));
      p.drawLine(QPointF(10, 4.5), QPointF(9.5, 11.5));
      p.drawLine(QPointF(4.5, 6.5), QPointF(11.5, 6.5));
      p.drawLine(QPointF(4.5, 9.5), QPointF(11.5, 9.5));
      break;
    case kVarFloat:  // a curve
      p.drawArc(QRectF(4, 5, 8, 7), 0, 180 * 16);
      p.drawPoint(QPointF(8, 11));
      break;
    default:  // text lines
      p.drawLine(QPointF(4.5, 6), QPointF(11.5, 6));
      p.drawLine(QPointF(4.5, 8.5), QPointF(11.5, 8.5));
      p.drawLine(QPointF(4.5, 11), QPointF(9, 11));
      break;
  }
}

// A screen: a monitor on a stand.
void DrawScreen(QPainter& p, qreal) {
  p.setPen(QPen(QColor(50, 50, 60), 1));
  p.setBrush(QColor(70, 130, 200));
  p.drawRoundedRect(QRectF(1.5, 2.5, 13, 9), 1, 1);
  p.setBrush(QColor(120, 120, 130));
  p.drawRect(QRectF(6.5, 11.5, 3, 2));
  p.drawRect(QRectF(4.5, 13.5, 7, 1));
}

}  // namespace

ProjListIcons::ProjListIcons() {
  device_ = MakeIcon(DrawDevice);
  for (int type = 0; type < 4; ++type)
    tags_[type] = MakeIcon([type](QPainter& p, qreal) { DrawTag(p, type); });
  screen_ = MakeIcon(DrawScreen);
}

QIcon ProjListIcons::Tag(std::int32_t varType) const {
  return varType >= 0 && varType < 4 ? tags_[static_cast<std::size_t>(varType)] : QIcon();
}

}  // namespace talvek
