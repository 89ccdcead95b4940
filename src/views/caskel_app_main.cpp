// caskel-app: the tray application. It hosts the same command server as caskeld.
#include <caskel/version.h>

#include <QApplication>
#include <QSystemTrayIcon>
#include <cstdlib>
#include <memory>

#include "app/app_state.h"
#include "app/server_host.h"
#include "audit/audit_logger.h"
#include "platform/defaults_store.h"
#include "platform/qt/qt_clipboard.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/stop_signals.h"
#include "views/main_window.h"
#include "views/prompt_tracker.h"
#include "views/view_services.h"
#include "views/view_style.h"

int main(int argc, char** argv) {
  // Before the toolkit starts threads, so that they all leave the stop signals to one thread.
  caskel::blockStopSignals();
  QApplication qtApp(argc, argv);
  QApplication::setApplicationName("Caskel");
  QApplication::setQuitOnLastWindowClosed(false);

  caskel::QtMainQueue mainQueue(&qtApp);
  auto clipboard = std::make_shared<caskel::QtClipboard>();
  caskel::ServerHostOptions options;
  if (const char* env = std::getenv("CASKEL_SOCKET"); env && *env)
    options.server.socketPath = std::string(env);
  options.clipboard = clipboard;
  options.blockSignals = false;
  caskel::ServerHost host(std::move(options), mainQueue);
  if (!host.prepare()) return 1;
  host.serve();
  caskel::onStopSignal([&mainQueue] { mainQueue.post([] { QApplication::quit(); }); });

  caskel::WorkQueue worker("caskel.window", 2);
  caskel::PromptTracker prompts;
  caskel::ViewServices services(host.state(), caskel::KeychainManager("caskel"),
                                caskel::AuditLogger::shared(), caskel::DefaultsStore::shared(), *clipboard,
                                mainQueue, worker, prompts);
  services.version = caskel::kVersion;
  caskel::MainWindow window(services);
  window.onQuit = [] { QApplication::quit(); };
  window.show();

  int status = qtApp.exec();
  host.stop();
  clipboard->clearIfOwned();
  return status;
}
