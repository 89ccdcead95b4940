#pragma once

#include <QWidget>

#include "views/view_services.h"

namespace caskel {

// The audit log viewer: the newest 500 records, and clearing the log.
class AuditLogView : public QWidget {
  Q_OBJECT

 public:
  explicit AuditLogView(ViewServices& services, QWidget* parent = nullptr);

 signals:
  void dismissed();

 private:
  ViewServices& services_;
};

}  // namespace caskel
