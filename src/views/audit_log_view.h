#pragma once

#include <QWidget>

#include "views/view_services.h"

class QLabel;
class QListView;
class QStackedWidget;
class QToolButton;

namespace caskel {

class AuditEntryModel;

// The audit log viewer: the newest 500 records, and clearing the log.
class AuditLogView : public QWidget {
  Q_OBJECT

 public:
  explicit AuditLogView(ViewServices& services, QWidget* parent = nullptr);

  static constexpr int kLimit = 500;

 signals:
  void dismissed();

 private:
  void load();
  void clearLog();
  void setConfirming(bool confirming);
  void refresh();

  ViewServices& services_;
  AuditEntryModel* model_;
  bool confirmClear_ = false;
  QToolButton* trash_;
  QWidget* confirm_;
  QStackedWidget* body_;
  QListView* list_;
  QWidget* empty_;
  QLabel* emptyText_;
  QLabel* emptyHint_;
};

}  // namespace caskel
