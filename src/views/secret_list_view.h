#pragma once

#include <QWidget>

#include "views/view_services.h"

namespace caskel {

// The list screen: filter, groups of secrets with badges, share and edit, the footer.
class SecretListView : public QWidget {
  Q_OBJECT

 public:
  explicit SecretListView(ViewServices& services, QWidget* parent = nullptr);

 signals:
  void addRequested();
  void editRequested(const QString& account);
  void settingsRequested();
  void onboardingRequested();
  void quitRequested();

 private:
  ViewServices& services_;
};

}  // namespace caskel
