#include "views/secret_row_delegate.h"

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include "views/share_indicator.h"
#include "views/view_style.h"

namespace caskel {

namespace {

constexpr int kPadding = 10;
constexpr int kIndent = 16;  // secret rows sit under their header's title
constexpr int kIconSize = 16;
constexpr int kShareWidth = 24;
constexpr int kGap = 6;
constexpr int kBadgeGap = 4;
constexpr int kBadgePadding = 4;

QFont medium(QFont font) {
  font.setWeight(QFont::Medium);
  return font;
}

}  // namespace

SecretRowDelegate::SecretRowDelegate(
    std::function<std::optional<Clock::time_point>(const std::string&)> sharedAt,
    std::function<Clock::time_point()> now, QObject* parent)
    : QStyledItemDelegate(parent),
      sharedAt_(std::move(sharedAt)),
      now_(std::move(now)),
      name_(style::monospaced()),
      header_(style::caption()),
      badge_(medium(style::sized(style::body(), 9))),
      expiry_(style::sized(style::body(), 9, true)),
      countdown_(medium(style::sized(style::monospaced(), 11))) {
  header_.setWeight(QFont::DemiBold);
  // One height for every row (headers included), so the view never measures rows one by one.
  rowHeight_ = std::max({QFontMetrics(name_).height(), QFontMetrics(header_).height(), kIconSize}) + 8;
}

QSize SecretRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  return {option.rect.width() > 0 ? option.rect.width() : 350, rowHeight_};
}

void SecretRowDelegate::ensureIcons(const QPalette& palette) const {
  if (iconsReady_) return;
  const QColor secondary = style::secondary(palette);
  auto make = [](const char* symbol, const QColor& color, int size) {
    return style::tintedSymbol(QString::fromLatin1(symbol), color, size).pixmap(size, size);
  };
  icons_[chevronDown] = make("chevron.down", secondary, 10);
  icons_[chevronRight] = make("chevron.right", secondary, 10);
  icons_[lockOpen] = make("lock.open.fill", style::green, 10);
  icons_[lockFill] = make("lock.fill", style::red, 9);
  icons_[docOnDoc] = make("doc.on.doc", secondary, kIconSize);
  icons_[checkmark] = make("checkmark.circle.fill", style::green, kIconSize);
  icons_[pencil] = make("pencil", style::primary(palette), kIconSize);
  iconsReady_ = true;
}

int SecretRowDelegate::badgeWidth(const BadgeLook& badge) const {
  if (badge.kind == BadgeKind::strict) return 9 + 2 * kBadgePadding;
  const QFont& font = badge.kind == BadgeKind::expiry ? expiry_ : badge_;
  return QFontMetrics(font).horizontalAdvance(badge.label) + 2 * kBadgePadding;
}

SecretRowDelegate::Geometry SecretRowDelegate::geometry(const QRect& row,
                                                        const SecretListModel::Secret& secret,
                                                        const RowBadges& badges) const {
  Geometry g;
  const int centerY = row.center().y();
  g.edit = QRect(row.right() - kPadding - kIconSize + 1, centerY - kIconSize / 2, kIconSize, kIconSize);
  g.share = QRect(g.edit.left() - kGap - kShareWidth, row.top(), kShareWidth, row.height());
  const int left = row.left() + kPadding + kIndent;
  const int limit = g.share.left() - kGap;
  int badgesWidth = 0;
  for (const BadgeLook& badge : badges) badgesWidth += kBadgeGap + badgeWidth(badge);
  const int nameWidth = std::max(0, std::min(QFontMetrics(name_).horizontalAdvance(secret.name),
                                             std::max(limit - left - badgesWidth, (limit - left) / 2)));
  g.name = QRect(left, row.top(), nameWidth, row.height());
  const int badgeHeight = QFontMetrics(badge_).height() + 2;
  int x = g.name.right() + 1;
  int i = 0;
  for (const BadgeLook& badge : badges) {
    x += kBadgeGap;
    const int w = std::min(badgeWidth(badge), std::max(0, limit - x));
    g.badges[static_cast<size_t>(i++)] = QRect(x, centerY - badgeHeight / 2, w, badgeHeight);
    x += w;
  }
  return g;
}

void SecretRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
  const auto* model = qobject_cast<const SecretListModel*>(index.model());
  if (!model) return;
  ensureIcons(option.palette);
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  if (const SecretListModel::Secret* secret = model->secret(index.row())) {
    paintSecret(painter, option, *secret, model->badges(*secret));
  } else {
    paintHeader(painter, option, *model, model->row(index.row()));
  }
  painter->restore();
}

void SecretRowDelegate::paintHeader(QPainter* painter, const QStyleOptionViewItem& option,
                                    const SecretListModel& model, const SecretListModel::Row& row) const {
  const SecretListModel::Group& group = model.group(row.group);
  const QRect r = option.rect;
  const QPixmap& chevron = icons_[model.isCollapsed(group.prefix) ? chevronRight : chevronDown];
  int x = r.left() + kPadding;
  painter->drawPixmap(x + (12 - chevron.width()) / 2, r.center().y() - chevron.height() / 2, chevron);
  x += 12 + 4;
  painter->setFont(header_);
  painter->setPen(style::secondary(option.palette));
  const QFontMetrics fm(header_);
  const int room = r.right() - kPadding - x - (group.unlocked ? 16 : 0);
  const int width = std::min(fm.horizontalAdvance(group.title), std::max(room, 0));
  const QRect text(x, r.top(), width, r.height());
  if (width < fm.horizontalAdvance(group.title)) {
    painter->drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                      fm.elidedText(group.title, Qt::ElideMiddle, width));
  } else {
    painter->drawText(text, Qt::AlignVCenter | Qt::AlignLeft, group.title);
  }
  if (group.unlocked) {
    const QPixmap& lock = icons_[lockOpen];
    painter->drawPixmap(text.right() + 6, r.center().y() - lock.height() / 2, lock);
  }
}

void SecretRowDelegate::paintSecret(QPainter* painter, const QStyleOptionViewItem& option,
                                    const SecretListModel::Secret& secret, const RowBadges& badges) const {
  const Geometry g = geometry(option.rect, secret, badges);
  const QColor secondary = style::secondary(option.palette);

  painter->setFont(name_);
  painter->setPen(style::primary(option.palette));
  const QFontMetrics nameMetrics(name_);
  if (g.name.width() < nameMetrics.horizontalAdvance(secret.name)) {
    painter->drawText(g.name, Qt::AlignVCenter | Qt::AlignLeft,
                      nameMetrics.elidedText(secret.name, Qt::ElideMiddle, g.name.width()));
  } else {
    painter->drawText(g.name, Qt::AlignVCenter | Qt::AlignLeft, secret.name);
  }

  int i = 0;
  for (const BadgeLook& badge : badges) {
    const QRect rect = g.badges[static_cast<size_t>(i++)];
    if (rect.width() <= 2 * kBadgePadding) continue;
    const bool bundle = badge.kind == BadgeKind::bundle;
    const QColor color = bundle ? secondary : badge.color;
    painter->setPen(Qt::NoPen);
    painter->setBrush(style::withOpacity(color, bundle ? 0.15 : 0.2));
    painter->drawRoundedRect(rect, rect.height() / 2.0, rect.height() / 2.0);
    if (badge.kind == BadgeKind::strict) {
      const QPixmap& lock = icons_[lockFill];
      painter->drawPixmap(rect.center().x() - lock.width() / 2 + 1, rect.center().y() - lock.height() / 2 + 1,
                          lock);
      continue;
    }
    painter->setFont(badge.kind == BadgeKind::expiry ? expiry_ : badge_);
    painter->setPen(color);
    painter->drawText(rect.adjusted(kBadgePadding, 0, -kBadgePadding, 0), Qt::AlignCenter, badge.label);
  }

  const ShareIndicator indicator = shareIndicator(sharedAt_(secret.account), now_());
  if (indicator.kind == ShareIndicator::Kind::countdown) {
    painter->setFont(countdown_);
    painter->setPen(indicator.tone == ShareIndicator::Tone::red ? style::red : style::green);
    painter->drawText(g.share, Qt::AlignCenter, QString::number(indicator.remaining));
  } else {
    const QPixmap& icon = icons_[indicator.kind == ShareIndicator::Kind::copied ? checkmark : docOnDoc];
    painter->drawPixmap(g.share.center().x() - icon.width() / 2 + 1,
                        g.share.center().y() - icon.height() / 2 + 1, icon);
  }
  painter->drawPixmap(g.edit.topLeft(), icons_[pencil]);
}

bool SecretRowDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                    const QStyleOptionViewItem& option, const QModelIndex& index) {
  if (event->type() != QEvent::MouseButtonRelease)
    return QStyledItemDelegate::editorEvent(event, model, option, index);
  const auto* mouse = static_cast<QMouseEvent*>(event);
  const auto* list = qobject_cast<const SecretListModel*>(model);
  if (mouse->button() != Qt::LeftButton || !list) return false;
  const SecretListModel::Secret* secret = list->secret(index.row());
  if (!secret) {
    emit toggleRequested(index.row());
    return true;
  }
  const Geometry g = geometry(option.rect, *secret, list->badges(*secret));
  const QPoint at = mouse->position().toPoint();
  // The buttons' targets are a little larger than their icons, as a button's would be.
  if (g.share.adjusted(-2, 0, 2, 0).contains(at)) {
    emit shareRequested(QString::fromStdString(secret->account));
    return true;
  }
  if (g.edit.adjusted(-4, -4, 4, 4).contains(at)) {
    emit editRequested(QString::fromStdString(secret->account));
    return true;
  }
  return false;
}

bool SecretRowDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                  const QStyleOptionViewItem& option, const QModelIndex& index) {
  const auto* list = qobject_cast<const SecretListModel*>(index.model());
  const SecretListModel::Secret* secret = list ? list->secret(index.row()) : nullptr;
  if (!secret || event->type() != QEvent::ToolTip)
    return QStyledItemDelegate::helpEvent(event, view, option, index);
  const Geometry g = geometry(option.rect, *secret, list->badges(*secret));
  QString tip;
  if (g.share.contains(event->pos())) tip = QStringLiteral("Copy (encrypted, auto-deletes)");
  if (g.edit.adjusted(-4, -4, 4, 4).contains(event->pos())) tip = QStringLiteral("Edit");
  int i = 0;
  for (const BadgeLook& badge : list->badges(*secret)) {
    if (badge.kind == BadgeKind::strict && g.badges[static_cast<size_t>(i)].contains(event->pos())) {
      tip = QStringLiteral("Strict — always requires the passphrase");
    }
    ++i;
  }
  if (tip.isEmpty()) {
    QToolTip::hideText();
    return true;
  }
  QToolTip::showText(event->globalPos(), tip, view);
  return true;
}

}  // namespace caskel
