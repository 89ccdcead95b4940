#pragma once

#include <QTimer>
#include <QWidget>
#include <optional>
#include <string>

#include "store/secret_metadata.h"
#include "views/share_indicator.h"
#include "views/view_services.h"

class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QStackedWidget;
class QToolButton;

namespace caskel {

class SecretListModel;
class SecretRowDelegate;

// The list screen: filter, groups of secrets with badges, share and edit, the footer.
class SecretListView : public QWidget {
  Q_OBJECT

 public:
  explicit SecretListView(ViewServices& services, QWidget* parent = nullptr);
  ~SecretListView() override;

  // The "How Caskel works" button shows only where onboarding exists.
  void setOnboardingAvailable(bool available);

  // Shares a full key; on success its row counts down from the clock.
  void share(const std::string& account);
  // The last successful share, while its 61 seconds run.
  const std::optional<std::string>& sharedAccount() const { return sharedAccount_; }
  ShareIndicator indicatorFor(const std::string& account) const;
  bool countdownRunning() const { return ticker_.isActive(); }
  // Reads the running server's unlocked folders again.
  void refreshUnlocked();

  SecretListModel& model() const { return *model_; }
  QListView* listView() const { return list_; }

 signals:
  void addRequested();
  void editRequested(const QString& account);
  void settingsRequested();
  void onboardingRequested();
  void quitRequested();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QWidget* buildFilterBar();
  QWidget* buildBanner();
  QWidget* buildBody();
  QWidget* buildFooter();
  void stateChanged(bool accountsChanged);
  void tick();
  void firstLoad();

  ViewServices& services_;
  int subscription_ = 0;
  SecretListModel* model_;
  SecretRowDelegate* delegate_;
  QLineEdit* filter_ = nullptr;
  QWidget* banner_ = nullptr;
  QStackedWidget* body_ = nullptr;
  QListView* list_ = nullptr;
  QLabel* emptyText_ = nullptr;
  QPushButton* addFirst_ = nullptr;
  QLabel* count_ = nullptr;
  QToolButton* onboarding_ = nullptr;
  QTimer ticker_;
  std::optional<std::string> sharedAccount_;
  std::optional<std::string> sharedPath_;
  std::optional<Clock::time_point> sharedAt_;
  bool firstLoadRunning_ = false;
  bool firstLoadDone_ = false;
};

}  // namespace caskel
