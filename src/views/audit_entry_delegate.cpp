#include "views/audit_entry_delegate.h"

#include <QFontMetrics>
#include <QPainter>

#include "views/audit_entry_model.h"
#include "views/audit_entry_style.h"
#include "views/view_style.h"

namespace caskel {

namespace {

constexpr int kPadX = 12;
constexpr int kPadY = 6;
constexpr int kGap = 8;

QFont operationFont() {
  QFont font = style::scaled(style::monospaced(), 13 * 0.85);
  font.setWeight(QFont::DemiBold);
  return font;
}
QFont accountFont() {
  return style::scaled(style::monospaced(), 13 * 0.85);
}
QFont timeFont() {
  return style::scaled(style::body(), 9);
}

}  // namespace

QSize AuditEntryDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  int line = std::max(QFontMetrics(operationFont()).height(), QFontMetrics(accountFont()).height());
  return {option.rect.width(), line + 2 * kPadY + 1};
}

void AuditEntryDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
  painter->save();
  const QPalette& palette = option.palette;
  QRect line = option.rect.adjusted(kPadX, kPadY, -kPadX, -kPadY - 1);

  const QString operation = index.data(AuditEntryModel::OperationRole).toString();
  const QString account = index.data(AuditEntryModel::AccountRole).toString();
  const QString time = index.data(AuditEntryModel::RelativeTimeRole).toString();
  const AuditOutcomeMark mark =
      auditOutcomeMark(index.data(AuditEntryModel::ResultRole).toString().toStdString());

  // From the right: the time, then the icon; the key takes what is left after the operation.
  painter->setFont(timeFont());
  painter->setPen(style::tertiary(palette));
  const int timeWidth = QFontMetrics(timeFont()).horizontalAdvance(time);
  QRect timeRect(line.right() - timeWidth + 1, line.top(), timeWidth, line.height());
  painter->drawText(timeRect, Qt::AlignRight | Qt::AlignVCenter, time);

  const int iconSize = QFontMetrics(timeFont()).ascent();
  QRect iconRect(timeRect.left() - kGap - iconSize, line.center().y() - iconSize / 2, iconSize, iconSize);
  style::tintedSymbol(mark.symbol, mark.color, iconSize).paint(painter, iconRect);

  painter->setFont(operationFont());
  painter->setPen(auditOperationColor(operation.toStdString(), palette));
  const int operationWidth = QFontMetrics(operationFont()).horizontalAdvance(operation);
  painter->drawText(QRect(line.left(), line.top(), operationWidth, line.height()),
                    Qt::AlignLeft | Qt::AlignVCenter | Qt::TextDontClip, operation);

  if (!account.isEmpty()) {
    QRect accountRect(line.left() + operationWidth + kGap, line.top(), 0, line.height());
    accountRect.setRight(iconRect.left() - kGap);
    if (accountRect.width() > 0) {
      painter->setFont(accountFont());
      painter->setPen(style::secondary(palette));
      QString shown = QFontMetrics(accountFont()).elidedText(account, Qt::ElideMiddle, accountRect.width());
      painter->drawText(accountRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextDontClip, shown);
    }
  }

  painter->setPen(palette.color(QPalette::Mid));
  painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
  painter->restore();
}

}  // namespace caskel
