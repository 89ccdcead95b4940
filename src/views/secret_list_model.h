#pragma once

#include <QAbstractListModel>
#include <QString>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "store/secret_metadata.h"
#include "views/secret_badges.h"

namespace caskel {

class AppState;

// The list screen's rows: a header per folder, then (unless collapsed) one row per secret.
// Flat and built once per change of the listing or the filter, so a view over thousands of
// secrets paints only what it shows and allocates nothing per row while painting.
class SecretListModel : public QAbstractListModel {
  Q_OBJECT

 public:
  enum Role {
    KindRole = Qt::UserRole + 1,  // RowKind
    AccountRole,                  // a secret's full key; a header's prefix
    ExpandedRole,                 // headers
    UnlockedRole,                 // headers
    ShareAccessibleRole,          // "Share secret <name>"
    EditAccessibleRole,           // "Edit secret <name>"
  };
  enum class RowKind { header, secret };

  struct Secret {
    std::string account;
    QString name;
    std::optional<SecretMetadata> metadata;
    // Worked out when the row is first painted: only the rows on screen ever need them, and
    // dating an expiry reads the local time zone, which is slow by the thousand.
    mutable std::optional<RowBadges> badges;
  };
  struct Group {
    std::string prefix;
    QString title;
    std::vector<Secret> secrets;
    bool unlocked = false;
  };
  // A visible row: its group and, for a secret row, its place in the group (-1: the header).
  struct Row {
    int group = 0;
    int secret = -1;
  };

  // Follows the model's listing and filter until destroyed. `now` dates the expiry badges.
  SecretListModel(AppState& state, std::function<Clock::time_point()> now, QObject* parent = nullptr);
  ~SecretListModel() override;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

  // Direct access for the delegate (no QVariant per paint).
  const Row& row(int index) const { return rows_[static_cast<size_t>(index)]; }
  const Group& group(int index) const { return groups_[static_cast<size_t>(index)]; }
  const Secret* secret(int index) const;
  const RowBadges& badges(const Secret& secret) const;
  int rowOf(const std::string& account) const;

  void toggleGroup(int row);
  bool isCollapsed(const std::string& prefix) const { return collapsed_.count(prefix) != 0; }
  // Marks the groups the running server's sessions cover; headers that change are repainted.
  void setUnlockedPrefixes(bool serverRunning, const std::vector<std::string>& prefixes);
  // Rebuilds from the model now.
  void rebuild();
  // Dates the badges again when they were last dated a while ago (the window is shown again).
  void redate();

 private:
  void appendRowsOf(int group, std::vector<Row>& out) const;

  AppState& state_;
  std::function<Clock::time_point()> now_;
  int subscription_ = 0;
  Clock::time_point datedAt_;  // when the rows were built (their badges date from then on)
  std::vector<Group> groups_;
  std::vector<Row> rows_;
  std::set<std::string> collapsed_;  // by prefix, so a rebuild keeps it
  bool serverRunning_ = false;
  std::vector<std::string> unlockedPrefixes_;
};

}  // namespace caskel
