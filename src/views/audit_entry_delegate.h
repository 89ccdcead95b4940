#pragma once

#include <QStyledItemDelegate>

namespace caskel {

// One compact line per audit record: the operation in its colour, the key (shortened in the
// middle), the outcome icon and the relative time, with a divider below.
class AuditEntryDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace caskel
