#include "views/audit_entry_model.h"

#include "views/audit_entry_style.h"

namespace caskel {

AuditEntryModel::AuditEntryModel(std::function<ViewServices::Clock::time_point()> now, QObject* parent)
    : QAbstractListModel(parent), now_(std::move(now)) {}

void AuditEntryModel::setEntries(std::vector<AuditEntry> entries) {
  beginResetModel();
  entries_ = std::move(entries);
  endResetModel();
}

int AuditEntryModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(entries_.size());
}

QVariant AuditEntryModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() < 0 || index.row() >= rowCount()) return {};
  const AuditEntry& entry = entries_[static_cast<size_t>(index.row())];
  switch (role) {
    case OperationRole:
      return QString::fromStdString(entry.operation);
    case AccountRole:
      return QString::fromStdString(entry.account.value_or(""));
    case ResultRole:
      return QString::fromStdString(entry.result);
    case RelativeTimeRole:
      return auditRelativeTime(entry.timestamp, now_());
    case Qt::DisplayRole:  // what screen readers announce
    case Qt::ToolTipRole: {
      QString text = QString::fromStdString(entry.operation);
      if (entry.account) text += " " + QString::fromStdString(*entry.account);
      return text + " — " + QString::fromStdString(entry.result) + ", " +
             auditRelativeTime(entry.timestamp, now_());
    }
    default:
      return {};
  }
}

}  // namespace caskel
