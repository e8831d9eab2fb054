#include "workbench/ui/proj_list_delegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>

namespace talvek {

const QStaticText& ProjListDelegate::Laid(const QString& text, int width,
                                          const QStyleOptionViewItem& option) const {
  if (option.font != cacheFont_ || cache_.size() >= kMaxCachedTexts) {
    cache_.clear();
    cacheFont_ = option.font;
  }
  auto it = cache_.find(Key{text, width});
  if (it == cache_.end()) {
    QStaticText laid(option.fontMetrics.elidedText(text, Qt::ElideRight, width));
    laid.setTextFormat(Qt::PlainText);
    laid.setPerformanceHint(QStaticText::AggressiveCaching);
    laid.prepare(QTransform(), option.font);
    it = cache_.insert(Key{text, width}, laid);
  }
  return *it;
}

void ProjListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
  if (index.column() == 0) {
    QStyledItemDelegate::paint(painter, option, index);
    return;
  }
  const bool selected = (option.state & QStyle::State_Selected) != 0;
  const QPalette::ColorGroup group = !(option.state & QStyle::State_Enabled) ? QPalette::Disabled
                                     : (option.state & QStyle::State_Active) ? QPalette::Normal
                                                                             : QPalette::Inactive;
  if (selected)
    painter->fillRect(option.rect, option.palette.brush(group, QPalette::Highlight));
  const QString text = index.data(Qt::DisplayRole).toString();
  if (text.isEmpty())
    return;
  const QStyle* style = option.widget != nullptr ? option.widget->style() : QApplication::style();
  const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, option.widget) + 1;
  const QRect area = option.rect.adjusted(margin, 0, -margin, 0);
  if (area.width() <= 0)
    return;
  const QStaticText& laid = Laid(text, area.width(), option);
  painter->save();
  painter->setFont(option.font);
  painter->setPen(
      option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
  painter->drawStaticText(
      QPointF(area.left(), area.top() + (area.height() - laid.size().height()) / 2.0), laid);
  painter->restore();
}

}  // namespace talvek
