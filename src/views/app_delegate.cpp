#include "views/app_delegate.h"

#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <iostream>

#include "app/app_state.h"
#include "app/server_host.h"
#include "audit/audit_logger.h"
#include "base/display_name.h"
#include "base/instance_protocol.h"
#include "platform/append_file.h"
#include "platform/defaults_store.h"
#include "platform/file_system.h"
#include "platform/qt/qt_clipboard.h"
#include "platform/qt/single_instance.h"
#include "platform/qt/x11_hotkey_grab.h"
#include "platform/stop_signals.h"
#include "platform/vault_admin.h"
#include "server/socket_server.h"
#include "views/hotkey_manager.h"
#include "views/main_window.h"
#include "views/onboarding_window.h"
#include "views/prompt_tracker.h"
#include "views/quick_access_panel.h"
#include "views/secret_list_view.h"
#include "views/update_watch.h"
#include "views/view_services.h"
#include "views/view_style.h"
#include "views/window_controller.h"

namespace caskel {

namespace {

// A tray host may register after the program starts (a panel that comes up late in a
// session): looked for again at these delays, about 30 seconds in all.
constexpr std::chrono::seconds kTrayRecheck{6};
constexpr int kTrayRechecks = 5;

}  // namespace

AppDelegate::AppDelegate(AppOptions options, TaskQueue& mainQueue)
    : options_(std::move(options)), mainQueue_(mainQueue) {}

AppDelegate::~AppDelegate() {
  terminate();
  trayCheck_.cancel();
  // The window and its screens go before the services they use.
  tray_.reset();
  onboarding_.reset();
  quickAccess_.reset();
  hotkey_.reset();
  controller_.reset();
  window_.reset();
}

void AppDelegate::trace(const std::string& line) const {
  if (!options_.tracePath.empty()) fs::appendPrivately(options_.tracePath, line + "\n");
}

void AppDelegate::traceAccounts() const {
  std::string line = "accounts: ";
  bool first = true;
  for (const auto& info : host_->state().accounts()) {
    line += (first ? "" : ",") + info.account;
    first = false;
  }
  trace(line);
}

std::optional<int> AppDelegate::launch() {
  executable_ = fs::ownExecutablePath().value_or("");
  const std::string serverSocket = SocketServer::defaultSocketPath();

  // One program per user: a second start shows the first one's window (or toggles its panel)
  // and ends.
  const instance::Command request = options_.toggleQuickAccess ? instance::Command::toggleQuickAccess
                                    : options_.autostart       ? instance::Command::autostart
                                                               : instance::Command::show;
  instance_ = std::make_unique<SingleInstance>(instance::socketPath(serverSocket));
  if (instance_->sendToRunning(request)) return 0;
  if (!instance_->listen()) {
    if (instance_->sendToRunning(request)) return 0;
    std::cout << "Caskel: cannot listen on " << instance_->path()
              << "; a second start of caskel-app will not find this one" << std::endl;
  }

  clipboard_ = std::make_shared<QtClipboard>();
  ServerHostOptions hostOptions;
  hostOptions.server.socketPath = serverSocket;
  if (!executable_.empty()) hostOptions.server.cliPath = fs::parentOf(executable_) + "/caskel";
  hostOptions.clipboard = clipboard_;
  hostOptions.blockSignals = false;
  // The QApplication is connected to its display by now, so the filter no longer stands in
  // its way; but pinentry, which inherits the filter, needs that display too.
  if (displayReachedOverNetwork(qgetenv("DISPLAY").toStdString())) {
    hostOptions.filterNetwork = false;
    std::cout << "Caskel: the display is reached over the network, so neither a network namespace nor the "
                 "network filter is used (passphrase prompts must reach that display too)"
              << std::endl;
  }
  host_ = std::make_unique<ServerHost>(std::move(hostOptions), mainQueue_);
  if (!host_->prepare()) return 1;
  const bool serving = host_->serve();
  if (serving) {
    trace("server: listening");
  } else {
    std::cout << "Caskel: the window works without a server of its own" << std::endl;
    trace("server: none");
  }
  trace("share-dir: " + host_->state().sessionDir());
  onStopSignal([queue = &mainQueue_] { queue->post([] { QApplication::quit(); }); });

  worker_ = std::make_unique<WorkQueue>("caskel.window", 2);
  prompts_ = std::make_unique<PromptTracker>();
  services_ =
      std::make_unique<ViewServices>(host_->state(), KeychainManager("caskel"), AuditLogger::shared(),
                                     DefaultsStore::shared(), *clipboard_, mainQueue_, *worker_, *prompts_);
  services_->version = options_.version;
  services_->executable = executable_;
  services_->hostsServer = serving;
  // The list's first load asks for the passphrase only over a vault that exists: a prompt
  // from an empty window must not create one.
  services_->vaultExists = [] {
    auto admin = VaultAdmin::shared();
    return admin && admin->vaultExists();
  };
  // Told on the main queue, so the reload that serve() started is seen too.
  accountsSubscription_ = host_->state().subscribe([this](AppState::Property property) {
    if (property == AppState::Property::accounts) traceAccounts();
  });

  window_ = std::make_unique<MainWindow>(*services_);
  window_->onQuit = [] { QApplication::quit(); };
  onboarding_ = std::make_unique<OnboardingWindow>(
      *services_, [](QWidget* dialogParent) { return OnboardingEnvironment::system(dialogParent); });
  window_->onShowOnboarding = [this] { showOnboarding(); };
  window_->listView()->setOnboardingAvailable(true);
  instance_->onCommand = [this](instance::Command command) {
    switch (command) {
      case instance::Command::show:
        controller_->open(tray_ ? std::optional<QRect>(tray_->geometry()) : std::nullopt);
        break;
      case instance::Command::toggleQuickAccess:
        toggleQuickAccess();
        break;
      case instance::Command::autostart:
        break;
    }
  };
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    controller_ = std::make_unique<WindowController>(*window_, *services_, WindowController::Mode::popup);
    showTray();
  } else {
    controller_ = std::make_unique<WindowController>(*window_, *services_, WindowController::Mode::normal);
    // A start at login stays hidden even here: a tray often comes up after the programs of the
    // session, and the recheck below then shows the icon.
    if (!options_.autostart) controller_->open();
    checkTray(kTrayRechecks);
  }

  // First launch: set-up opens once the event loop runs, after the window and tray exist.
  if (!services_->defaults.boolValue(defaults_keys::kOnboardingDone).value_or(false)) {
    mainQueue_.post([this] { showOnboarding(); });
  }
  hotkey_ = std::make_unique<HotkeyManager>(DefaultsStore::shared(), mainQueue_, systemGlobalHotkey());
  hotkey_->onTrigger = [this] { toggleQuickAccess(); };
  hotkey_->registerHotkey();
  services_->hotkey = hotkey_.get();
  trace("hotkey: " + (hotkey_->isRegistered() ? hotkey_->mechanism() : std::string("none")));
  if (options_.toggleQuickAccess) mainQueue_.post([this] { toggleQuickAccess(); });

  if (!executable_.empty()) {
    updates_ = std::make_unique<UpdateWatch>(
        mainQueue_, options_.updateInterval, [path = executable_] { return fs::stampOf(path); },
        [this] { mainQueue_.post([this] { showUpdateAlert(); }); });
    updates_->start();
  }
  return std::nullopt;
}

void AppDelegate::checkTray(int attemptsLeft) {
  if (attemptsLeft <= 0) return;
  trayCheck_ = mainQueue_.postAfterSeconds(kTrayRecheck, [this, attemptsLeft] {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
      checkTray(attemptsLeft - 1);
      return;
    }
    controller_->setMode(WindowController::Mode::popup);
    showTray();
  });
}

void AppDelegate::showTray() {
  tray_ = std::make_unique<QSystemTrayIcon>(style::symbolIcon("key"));
  tray_->setToolTip("Caskel");
  auto* menu = new QMenu(window_.get());
  connect(menu->addAction("Open"), &QAction::triggered, this,
          [this] { controller_->open(tray_->geometry()); });
  connect(menu->addAction("Settings"), &QAction::triggered, this, [this] {
    window_->showSettings();
    controller_->open(tray_->geometry());
  });
  menu->addSeparator();
  connect(menu->addAction("Quit"), &QAction::triggered, this, [] { QApplication::quit(); });
  tray_->setContextMenu(menu);
  connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) controller_->toggle(tray_->geometry());
  });
  tray_->show();
}

void AppDelegate::showOnboarding() {
  if (!onboarding_) return;
  onboarding_->show();
  trace("onboarding: shown");
}

void AppDelegate::showUpdateAlert() {
  if (alert_) return;  // one at a time: an unanswered alert is not stacked with another
  auto* box = new QMessageBox(QMessageBox::Information, "Caskel", "Caskel Updated");
  box->setInformativeText("A new version was installed. Restart to apply the update?");
  QPushButton* restartButton = box->addButton("Restart Now", QMessageBox::AcceptRole);
  box->addButton("Later", QMessageBox::RejectRole);
  box->setDefaultButton(restartButton);
  box->setAttribute(Qt::WA_DeleteOnClose);
  connect(box, &QMessageBox::finished, this, [this, box, restartButton] {
    if (box->clickedButton() == restartButton) restart();
  });
  alert_ = box;
  box->open();
  trace("alert: Caskel Updated");
}

void AppDelegate::restart() {
  terminate();
  // The installed executable at the path this program started from, with the same options.
  QProcess::startDetached(QString::fromStdString(executable_), options_.arguments);
  QApplication::quit();
}

void AppDelegate::toggleQuickAccess() {
  if (!quickAccess_) {
    quickAccess_ = std::make_unique<QuickAccessPanel>(
        *services_, [hotkey = hotkey_.get()] { return hotkey ? hotkey->shortcutDisplay() : std::string(); });
  }
  quickAccess_->toggle();
  trace(std::string("quick-access: ") + (quickAccess_->isVisible() ? "shown" : "hidden"));
}

void AppDelegate::terminate() {
  if (hotkey_) hotkey_->unregister();
  if (quickAccess_) quickAccess_->hidePanel();
  if (accountsSubscription_ >= 0 && host_) {
    host_->state().unsubscribe(accountsSubscription_);
    accountsSubscription_ = -1;
  }
  updates_.reset();
  // The socket goes first, so the server's directory is empty when the server removes it.
  if (instance_) instance_->close();
  if (host_) host_->stop();
  if (clipboard_) clipboard_->clearIfOwned();
}

}  // namespace caskel
