#pragma once

#include <QAbstractListModel>
#include <functional>
#include <vector>

#include "audit/audit_logger.h"
#include "views/view_services.h"

namespace caskel {

// The audit records the viewer lists, in the order given (newest first). Times are relative
// to the clock it is given, read whenever a row is drawn.
class AuditEntryModel : public QAbstractListModel {
  Q_OBJECT

 public:
  enum Role {
    OperationRole = Qt::UserRole + 1,
    AccountRole,  // empty when the record names no key
    ResultRole,
    RelativeTimeRole,
  };

  explicit AuditEntryModel(std::function<ViewServices::Clock::time_point()> now, QObject* parent = nullptr);

  void setEntries(std::vector<AuditEntry> entries);
  bool isEmpty() const { return entries_.empty(); }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;

 private:
  std::function<ViewServices::Clock::time_point()> now_;
  std::vector<AuditEntry> entries_;
};

}  // namespace caskel
