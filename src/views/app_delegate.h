#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/work_queue.h"

class QMessageBox;
class QSystemTrayIcon;

namespace caskel {

class HotkeyManager;
class MainWindow;
class OnboardingWindow;
class PromptTracker;
class QtClipboard;
class QuickAccessPanel;
class ServerHost;
class SingleInstance;
class UpdateWatch;
class WindowController;
struct ViewServices;

// What the program is started with; the hidden test options among them.
struct AppOptions {
  // Appends one line per event that end-to-end tests wait for ("accounts: …", "server: …").
  std::string tracePath;
  std::chrono::milliseconds updateInterval{std::chrono::seconds(30)};
  std::string version;
  // Handed to the program again when it restarts after an update.
  QStringList arguments;
  // --toggle-quick-access: the running program toggles its quick-access panel; without one,
  // this program starts and opens the panel once it is up.
  bool toggleQuickAccess = false;
  // --autostart (the login entry): start hidden in the tray. Without a tray nothing is shown
  // either; the next start of caskel-app shows the window.
  bool autostart = false;
};

// The desktop program's start-up and shutdown: the single-instance check, the command server
// (or none when another one serves), the process hardening, the window and tray, the update
// watch; then, at quit, the server stopped, sessions locked, shared files removed and the
// clipboard cleared of what Caskel still owns there. Made by main after the QApplication.
class AppDelegate final : public QObject {
 public:
  AppDelegate(AppOptions options, TaskQueue& mainQueue);
  ~AppDelegate() override;

  // The launch steps. An exit status when the program must end now: 0 when another
  // caskel-app runs and was asked to show its window (or toggle its panel), 1 when the process
  // could not be hardened.
  std::optional<int> launch();
  // The termination steps; safe to call twice (a restart runs them before quitting).
  void terminate();

 private:
  void trace(const std::string& line) const;
  void traceAccounts() const;
  void checkTray(int attemptsLeft);
  void showTray();
  void showOnboarding();
  void showUpdateAlert();
  void restart();
  void toggleQuickAccess();

  AppOptions options_;
  TaskQueue& mainQueue_;
  std::string executable_;
  std::unique_ptr<SingleInstance> instance_;
  std::shared_ptr<QtClipboard> clipboard_;
  std::unique_ptr<ServerHost> host_;
  std::unique_ptr<WorkQueue> worker_;
  std::unique_ptr<PromptTracker> prompts_;
  std::unique_ptr<ViewServices> services_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<WindowController> controller_;
  std::unique_ptr<OnboardingWindow> onboarding_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::unique_ptr<UpdateWatch> updates_;
  std::unique_ptr<HotkeyManager> hotkey_;
  std::unique_ptr<QuickAccessPanel> quickAccess_;  // made at its first opening
  QPointer<QMessageBox> alert_;
  int accountsSubscription_ = -1;
  TaskHandle trayCheck_;
};

}  // namespace caskel
