// caskeld: the command server without a GUI, for SSH sessions, tmux panes, servers and CI.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <caskel/version.h>

#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

#include "app/app_state.h"
#include "app/application.h"
#include "audit/audit_logger.h"
#include "platform/file_system.h"
#include "platform/passphrase_authenticator.h"
#include "platform/pinentry_client.h"
#include "platform/process_hardening.h"
#include "platform/vault.h"
#include "server/socket_server.h"

namespace {

std::string executableDirectory() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  return caskel::fs::parentOf(std::string(buf, static_cast<size_t>(n)));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App cli{"caskeld — the Caskel command server"};
  std::string socketPath;
  bool showVersion = false;
  cli.add_option("--socket", socketPath, "Listen on this socket path (default: $CASKEL_SOCKET, else /tmp/caskel-sock-<uid>/caskel.sock)");
  cli.add_flag("--version", showVersion, "Print the version and exit");
  double backupLifetime = 3600;
  // For tests: how long a rotated-out value stays as <key>_OLD.
  cli.add_option("--rotate-backup-seconds", backupLifetime)->group("")->check(CLI::PositiveNumber);
  CLI11_PARSE(cli, argc, argv);
  if (showVersion) {
    std::cout << caskel::kVersion << std::endl;
    return 0;
  }

  // Hardened before anything secret exists in this process.
  if (std::string err = caskel::hardenProcess(); !err.empty()) {
    std::cout << "Caskel: cannot harden the process (" << err << ") — refusing to start" << std::endl;
    return 1;
  }
  caskel::raiseFileLimit();

  // SIGINT and SIGTERM are taken by one thread with sigwait, so no handler runs inside a lock.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  // Chosen once: every prompt runs this path, whatever PATH or working directory hold later.
  using PinentryStatus = caskel::PinentryClient::Program::Status;
  caskel::PinentryClient::Program pinentry = caskel::PinentryClient::locate();
  switch (pinentry.status) {
    case PinentryStatus::found:
      break;
    case PinentryStatus::relativeSetting:
      std::cout << "Caskel: CASKEL_PINENTRY must be an absolute path; it is ignored and passphrase "
                   "prompts are unavailable" << std::endl;
      break;
    case PinentryStatus::settingNotExecutable:
      std::cout << "Caskel: CASKEL_PINENTRY does not name an executable file; passphrase prompts are "
                   "unavailable" << std::endl;
      break;
    case PinentryStatus::notFound:
      std::cout << "Caskel: no pinentry program was found on PATH (install pinentry-gnome3, pinentry-qt "
                   "or pinentry-curses); passphrase prompts are unavailable" << std::endl;
      break;
  }
  auto vault = std::make_shared<caskel::Vault>();
  caskel::CredentialStore::setShared(vault);
  caskel::Authenticator::setShared(std::make_shared<caskel::PassphraseAuthenticator>(
      vault, std::make_shared<caskel::PinentryClient>(pinentry.path)));

  caskel::RunLoop mainLoop;
  caskel::Application& app = caskel::Application::shared();
  app.markMainThread();
  app.setMainQueue(&mainLoop);

  caskel::ServerOptions options;
  if (!socketPath.empty()) {
    options.socketPath = socketPath;
  } else if (const char* env = std::getenv("CASKEL_SOCKET"); env && *env) {
    options.socketPath = std::string(env);
  }
  options.cliPath = executableDirectory() + "/caskel";
  options.rotateBackupLifetime = backupLifetime;
  auto server = std::make_unique<caskel::SocketServer>(caskel::KeychainManager("caskel"), options);
  caskel::ServerServices& services = server->services();
  // Refreshes are coalesced: a burst of a thousand "set"s must not queue a thousand full
  // listings on the main loop (each would hold the vault while it reads every item).
  struct PendingRefresh {
    std::mutex mutex;
    bool queued = false;
    std::shared_ptr<caskel::AuthContext> context;
  };
  auto pending = std::make_shared<PendingRefresh>();
  services.refreshApplication = [pending](std::shared_ptr<caskel::AuthContext> context) {
    {
      std::lock_guard lock(pending->mutex);
      if (context) pending->context = std::move(context);
      if (pending->queued) return;
      pending->queued = true;
    }
    caskel::Application::shared().postToMain([pending] {
      std::shared_ptr<caskel::AuthContext> latest;
      {
        std::lock_guard lock(pending->mutex);
        pending->queued = false;
        latest = std::move(pending->context);
      }
      caskel::AppState::shared().reload(latest.get());
    });
  };
  // Every request carries the tool's version: the application hears only of a change, so a
  // request does not also wake the main thread.
  struct LastCliVersion {
    std::mutex mutex;
    std::string version;
  };
  auto lastCliVersion = std::make_shared<LastCliVersion>();
  services.reportCliVersion = [lastCliVersion](std::string version) {
    {
      std::lock_guard lock(lastCliVersion->mutex);
      if (lastCliVersion->version == version) return;
      lastCliVersion->version = version;
    }
    caskel::Application::shared().postToMain(
        [version = std::move(version)] { caskel::AppState::shared().setLastSeenCliVersion(version); });
  };
  services.instructions = [] { return caskel::agentInstructions(); };
  if (!server->start()) return 1;
  app.setSessionManager(&server->session());
  std::cout << "Caskel: listening on " << server->socketPath() << std::endl;

  caskel::AppState::shared().reload(nullptr);

  std::thread signalWaiter([&] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    mainLoop.quit();
  });
  mainLoop.run();

  app.setSessionManager(nullptr);
  server->stop();
  caskel::AppState::shared().cleanup();
  caskel::AuditLogger::shared().flush();
  server.reset();
  // The waiter is still in sigwait when the loop was quit another way; it ends with the process.
  signalWaiter.detach();
  return 0;
}
