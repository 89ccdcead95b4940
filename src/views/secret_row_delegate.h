#pragma once

#include <QFont>
#include <QPixmap>
#include <QStyledItemDelegate>
#include <array>
#include <functional>
#include <optional>
#include <string>

#include "store/secret_metadata.h"
#include "views/secret_list_model.h"

namespace caskel {

// Paints the list's header and secret rows and answers clicks on them: a header toggles its
// group, a secret row's trailing buttons share or edit it. Rows are painted, not built from
// widgets, so ten thousand secrets cost no more than the twenty on screen.
class SecretRowDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  // `sharedAt` tells when a key was shared (for its countdown); `now` is the screen's clock.
  SecretRowDelegate(std::function<std::optional<Clock::time_point>(const std::string&)> sharedAt,
                    std::function<Clock::time_point()> now, QObject* parent = nullptr);

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override;

  // Where a secret row's parts sit; clicks and tooltips use the same places as the paint.
  struct Geometry {
    QRect name;
    std::array<QRect, 4> badges;
    QRect share;
    QRect edit;
  };
  Geometry geometry(const QRect& row, const SecretListModel::Secret& secret, const RowBadges& badges) const;

 signals:
  void toggleRequested(int row);
  void shareRequested(const QString& account);
  void editRequested(const QString& account);

 private:
  enum Icon { chevronDown, chevronRight, lockOpen, lockFill, docOnDoc, checkmark, pencil, iconCount };
  void ensureIcons(const QPalette& palette) const;
  void paintHeader(QPainter* painter, const QStyleOptionViewItem& option, const SecretListModel& model,
                   const SecretListModel::Row& row) const;
  void paintSecret(QPainter* painter, const QStyleOptionViewItem& option,
                   const SecretListModel::Secret& secret, const RowBadges& badges) const;
  int badgeWidth(const BadgeLook& badge) const;

  std::function<std::optional<Clock::time_point>(const std::string&)> sharedAt_;
  std::function<Clock::time_point()> now_;
  QFont name_;
  QFont header_;
  QFont badge_;
  QFont expiry_;
  QFont countdown_;
  int rowHeight_ = 24;
  mutable std::array<QPixmap, iconCount> icons_;
  mutable bool iconsReady_ = false;
};

}  // namespace caskel
