#include "views/secret_list_model.h"

#include <chrono>

#include "app/app_state.h"
#include "views/secret_list_rules.h"

namespace caskel {

SecretListModel::SecretListModel(AppState& state, std::function<Clock::time_point()> now, QObject* parent)
    : QAbstractListModel(parent), state_(state), now_(std::move(now)) {
  subscription_ = state_.subscribe([this](AppState::Property property) {
    if (property == AppState::Property::accounts || property == AppState::Property::searchText) rebuild();
  });
  rebuild();
}

SecretListModel::~SecretListModel() {
  state_.unsubscribe(subscription_);
}

int SecretListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

const SecretListModel::Secret* SecretListModel::secret(int index) const {
  if (index < 0 || index >= static_cast<int>(rows_.size())) return nullptr;
  const Row& r = rows_[static_cast<size_t>(index)];
  if (r.secret < 0) return nullptr;
  return &groups_[static_cast<size_t>(r.group)].secrets[static_cast<size_t>(r.secret)];
}

const RowBadges& SecretListModel::badges(const Secret& secret) const {
  if (!secret.badges) secret.badges = rowBadges(secret.metadata, datedAt_);
  return *secret.badges;
}

int SecretListModel::rowOf(const std::string& account) const {
  for (size_t i = 0; i < rows_.size(); ++i) {
    const Secret* s = secret(static_cast<int>(i));
    if (s && s->account == account) return static_cast<int>(i);
  }
  return -1;
}

QVariant SecretListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
  const Row& r = rows_[static_cast<size_t>(index.row())];
  const Group& g = groups_[static_cast<size_t>(r.group)];
  const Secret* s = secret(index.row());
  switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
      return s ? s->name : g.title;
    case KindRole:
      return static_cast<int>(s ? RowKind::secret : RowKind::header);
    case AccountRole:
      return QString::fromStdString(s ? s->account : g.prefix);
    case ExpandedRole:
      return s ? QVariant() : QVariant(!isCollapsed(g.prefix));
    case UnlockedRole:
      return s ? QVariant() : QVariant(g.unlocked);
    case ShareAccessibleRole:
      return s ? QVariant(QStringLiteral("Share secret ") + s->name) : QVariant();
    case EditAccessibleRole:
      return s ? QVariant(QStringLiteral("Edit secret ") + s->name) : QVariant();
    case Qt::AccessibleDescriptionRole:
      return s ? QVariant(QStringLiteral("Share secret ") + s->name + QStringLiteral(", Edit secret ") +
                          s->name)
               : QVariant();
    default:
      return {};
  }
}

void SecretListModel::appendRowsOf(int group, std::vector<Row>& out) const {
  out.push_back({group, -1});
  const Group& g = groups_[static_cast<size_t>(group)];
  if (isCollapsed(g.prefix)) return;
  for (size_t i = 0; i < g.secrets.size(); ++i) out.push_back({group, static_cast<int>(i)});
}

void SecretListModel::redate() {
  // Expiry labels change at local midnight; ten minutes late is close enough for a list.
  if (now_() - datedAt_ >= std::chrono::minutes(10)) rebuild();
}

void SecretListModel::rebuild() {
  datedAt_ = now_();
  std::vector<Group> groups;
  for (auto& [prefix, infos] : state_.groupedAccounts()) {
    Group g{prefix, groupTitle(prefix), {}, isGroupUnlocked(prefix, serverRunning_, unlockedPrefixes_)};
    g.secrets.reserve(infos.size());
    for (SecretInfo& info : infos) {
      QString name = QString::fromStdString(rowName(info.account));
      g.secrets.push_back({std::move(info.account), std::move(name), std::move(info.metadata), std::nullopt});
    }
    groups.push_back(std::move(g));
  }
  std::vector<Row> rows;
  beginResetModel();
  groups_ = std::move(groups);
  for (size_t i = 0; i < groups_.size(); ++i) appendRowsOf(static_cast<int>(i), rows);
  rows_ = std::move(rows);
  endResetModel();
}

void SecretListModel::toggleGroup(int row) {
  if (row < 0 || row >= static_cast<int>(rows_.size()) || rows_[static_cast<size_t>(row)].secret >= 0) return;
  const int group = rows_[static_cast<size_t>(row)].group;
  const Group& g = groups_[static_cast<size_t>(group)];
  const int count = static_cast<int>(g.secrets.size());
  const auto at = rows_.begin() + row + 1;
  if (isCollapsed(g.prefix)) {
    collapsed_.erase(g.prefix);
    if (count > 0) {
      beginInsertRows(QModelIndex(), row + 1, row + count);
      std::vector<Row> inserted;
      for (int i = 0; i < count; ++i) inserted.push_back({group, i});
      rows_.insert(at, inserted.begin(), inserted.end());
      endInsertRows();
    }
  } else {
    collapsed_.insert(g.prefix);
    if (count > 0) {
      beginRemoveRows(QModelIndex(), row + 1, row + count);
      rows_.erase(at, at + count);
      endRemoveRows();
    }
  }
  const QModelIndex header = index(row);
  emit dataChanged(header, header, {ExpandedRole});
}

void SecretListModel::setUnlockedPrefixes(bool serverRunning, const std::vector<std::string>& prefixes) {
  serverRunning_ = serverRunning;
  unlockedPrefixes_ = prefixes;
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i].secret >= 0) continue;
    Group& g = groups_[static_cast<size_t>(rows_[i].group)];
    const bool unlocked = isGroupUnlocked(g.prefix, serverRunning_, unlockedPrefixes_);
    if (unlocked == g.unlocked) continue;
    g.unlocked = unlocked;
    const QModelIndex header = index(static_cast<int>(i));
    emit dataChanged(header, header, {UnlockedRole});
  }
}

}  // namespace caskel
