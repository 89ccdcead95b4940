#pragma once

#include <QWidget>

#include "views/view_services.h"

namespace caskel {

// Settings: the shortcut, the audit log switch, the passphrase line, copies.
class SettingsView : public QWidget {
  Q_OBJECT

 public:
  explicit SettingsView(ViewServices& services, bool onboardingAvailable, QWidget* parent = nullptr);

 signals:
  void dismissed();
  void auditLogRequested();
  void onboardingRequested();

 private:
  ViewServices& services_;
};

}  // namespace caskel
