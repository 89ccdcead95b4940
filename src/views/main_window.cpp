#include "views/main_window.h"

#include "views/add_secret_view.h"
#include "views/audit_log_view.h"
#include "views/edit_secret_view.h"
#include "views/secret_list_view.h"
#include "views/settings_view.h"

namespace caskel {

MainWindow::MainWindow(ViewServices& services, QWidget* parent)
    : QWidget(parent),
      services_(services),
      stack_(new QStackedLayout(this)),
      list_(new SecretListView(services, this)) {
  setWindowTitle("Caskel");
  setFixedSize(kWidth, kHeight);
  stack_->setContentsMargins(0, 0, 0, 0);
  stack_->addWidget(list_);
  connect(list_, &SecretListView::addRequested, this, &MainWindow::showAdd);
  connect(list_, &SecretListView::editRequested, this, &MainWindow::showEdit);
  connect(list_, &SecretListView::settingsRequested, this, &MainWindow::showSettings);
  connect(list_, &SecretListView::onboardingRequested, this, [this] {
    if (onShowOnboarding) onShowOnboarding();
  });
  connect(list_, &SecretListView::quitRequested, this, [this] {
    if (onQuit) onQuit();
  });
}

QWidget* MainWindow::currentScreen() const {
  return other_ ? other_.data() : static_cast<QWidget*>(list_);
}

void MainWindow::swapIn(QWidget* screen, Screen kind) {
  if (other_) {
    stack_->removeWidget(other_);
    other_->deleteLater();
    other_ = nullptr;
  }
  screen_ = kind;
  if (screen) {
    other_ = screen;
    stack_->addWidget(screen);
    stack_->setCurrentWidget(screen);
    screen->setFocus();
  } else {
    stack_->setCurrentWidget(list_);
    list_->setFocus();
  }
  emit screenChanged();
}

void MainWindow::showList() {
  swapIn(nullptr, Screen::list);
}

void MainWindow::showAdd() {
  auto* view = new AddSecretView(services_, this);
  connect(view, &AddSecretView::dismissed, this, &MainWindow::showList);
  swapIn(view, Screen::add);
}

void MainWindow::showEdit(const QString& account) {
  auto* view = new EditSecretView(services_, account, this);
  connect(view, &EditSecretView::dismissed, this, &MainWindow::showList);
  swapIn(view, Screen::edit);
}

void MainWindow::showSettings() {
  auto* view = new SettingsView(services_, static_cast<bool>(onShowOnboarding), this);
  connect(view, &SettingsView::dismissed, this, &MainWindow::showList);
  connect(view, &SettingsView::auditLogRequested, this, &MainWindow::showAuditLog);
  connect(view, &SettingsView::onboardingRequested, this, [this] {
    showList();
    if (onShowOnboarding) onShowOnboarding();
  });
  swapIn(view, Screen::settings);
}

void MainWindow::showAuditLog() {
  auto* view = new AuditLogView(services_, this);
  connect(view, &AuditLogView::dismissed, this, &MainWindow::showList);
  swapIn(view, Screen::auditLog);
}

}  // namespace caskel
