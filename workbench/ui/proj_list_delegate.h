// ProjListDelegate: paints the text cells of the project list's details view.
//
// A live refresh repaints every visible cell once a second. The standard delegate lays each text
// out again on every paint; this one keeps the laid-out form of each text it has drawn (most
// cells, names, types, addresses, show the same text tick after tick) and draws that, with the
// palette's selection colours. The first column, which carries the row image, is left to the
// standard delegate.
#pragma once

#include <QFont>
#include <QHash>
#include <QStaticText>
#include <QStyledItemDelegate>

namespace talvek {

class ProjListDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;

  // Texts kept at most; the cache starts over beyond it (a live list of changing values would
  // otherwise grow it without end).
  static constexpr qsizetype kMaxCachedTexts = 4096;

 private:
  struct Key {
    QString text;
    int width;
    bool operator==(const Key& other) const = default;
  };
  friend size_t qHash(const Key& key, size_t seed) { return qHashMulti(seed, key.text, key.width); }

  // The laid-out form of `text` cut to `width` pixels with an ellipsis.
  const QStaticText& Laid(const QString& text, int width, const QStyleOptionViewItem& option) const;

  mutable QHash<Key, QStaticText> cache_;
  mutable QFont cacheFont_;
};

}  // namespace talvek
