#include "app/server_host.h"

#include <iostream>
#include <mutex>
#include <set>

#include "app/agent_instructions.h"
#include "app/app_state.h"
#include "app/application.h"
#include "audit/audit_logger.h"
#include "platform/defaults_store.h"
#include "platform/passphrase_authenticator.h"
#include "platform/pinentry_client.h"
#include "platform/process_hardening.h"
#include "platform/stop_signals.h"
#include "platform/vault.h"
#include "platform/vault_admin.h"

namespace caskel {

namespace {

void reportPinentry(PinentryClient::Program::Status status) {
  using Status = PinentryClient::Program::Status;
  switch (status) {
    case Status::found:
      break;
    case Status::relativeSetting:
      std::cout << "Caskel: CASKEL_PINENTRY must be an absolute path; it is ignored and passphrase "
                   "prompts are unavailable"
                << std::endl;
      break;
    case Status::settingNotExecutable:
      std::cout << "Caskel: CASKEL_PINENTRY does not name an executable file; passphrase prompts are "
                   "unavailable"
                << std::endl;
      break;
    case Status::notFound:
      std::cout << "Caskel: no pinentry program was found on PATH (install pinentry-gnome3, pinentry-qt "
                   "or pinentry-curses); passphrase prompts are unavailable"
                << std::endl;
      break;
  }
}

// Says on standard output why passphrase prompts cannot be shown: once per distinct reason,
// however many requests meet it, so a person watching the server learns what to fix.
class UnavailableReporter {
 public:
  // A reason already said another way (at start-up) is not said again.
  void alreadySaid(const std::string& reason) {
    std::lock_guard lock(mutex_);
    said_.insert(reason);
  }
  void report(const std::string& reason) {
    {
      std::lock_guard lock(mutex_);
      if (!said_.insert(reason).second) return;
    }
    std::cout << "Caskel: passphrase prompt unavailable: " << reason << std::endl;
  }

 private:
  std::mutex mutex_;
  std::set<std::string> said_;
};

}  // namespace

ServerHost::ServerHost(ServerHostOptions options, TaskQueue& mainQueue)
    : options_(std::move(options)), mainQueue_(mainQueue) {}

ServerHost::~ServerHost() {
  stop();
  Application& app = Application::shared();
  if (app.mainQueue() == &mainQueue_) app.setMainQueue(nullptr);
}

bool ServerHost::prepareProcess() {
  if (options_.manageProcess) {
    // Hardened before anything secret exists in this process.
    std::string err = options_.filterNetwork ? hardenProcess() : hardenWithoutNetworkFilter();
    if (!err.empty()) {
      std::cout << "Caskel: cannot harden the process (" << err << ") — refusing to start" << std::endl;
      return false;
    }
    raiseFileLimit();
    // Before the first thread, so that every thread leaves the stop signals to sigwait.
    if (options_.blockSignals) blockStopSignals();
  }
  return true;
}

void ServerHost::installCredentials() {
  if (!options_.store) {
    // Chosen once: every prompt runs this path, whatever PATH or working directory hold later.
    PinentryClient::Program pinentry = PinentryClient::locate();
    reportPinentry(pinentry.status);
    auto reporter = std::make_shared<UnavailableReporter>();
    if (pinentry.status != PinentryClient::Program::Status::found)
      reporter->alreadySaid(pinentry.whyMissing());
    auto report = [reporter](const std::string& reason) { reporter->report(reason); };
    auto vault = std::make_shared<Vault>(Vault::defaultPath(), options_.vault);
    auto prompt = std::make_shared<PinentryClient>(pinentry);
    options_.store = vault;
    if (!options_.authenticator) {
      auto authenticator = std::make_shared<PassphraseAuthenticator>(vault, prompt);
      authenticator->setUnavailableObserver(report);
      options_.authenticator = authenticator;
    }
    auto admin = std::make_shared<VaultAdmin>(vault, prompt);
    admin->setUnavailableObserver(report);
    VaultAdmin::setShared(admin);
  }
  CredentialStore::setShared(options_.store);
  if (options_.authenticator) Authenticator::setShared(options_.authenticator);
}

void ServerHost::connectModel(ServerServices& services) {
  // Hooks run on server threads and may outlive the host's model in queued tasks: they hold
  // it weakly, and the tasks run on the main queue, where the model is also destroyed.
  std::weak_ptr<AppState> model = state_;
  // Refreshes are coalesced: a burst of a thousand "set"s must not queue a thousand full
  // listings on the main loop (each would hold the vault while it reads every item).
  struct PendingRefresh {
    std::mutex mutex;
    bool queued = false;
    std::shared_ptr<AuthContext> context;
  };
  auto pending = std::make_shared<PendingRefresh>();
  services.refreshApplication = [pending, model](std::shared_ptr<AuthContext> context) {
    {
      std::lock_guard lock(pending->mutex);
      if (context) pending->context = std::move(context);
      if (pending->queued) return;
      pending->queued = true;
    }
    Application::shared().postToMain([pending, model] {
      std::shared_ptr<AuthContext> latest;
      {
        std::lock_guard lock(pending->mutex);
        pending->queued = false;
        latest = std::move(pending->context);
      }
      if (auto state = model.lock()) state->reload(latest.get());
    });
  };
  // Every request carries the tool's version: the application hears only of a change, so a
  // request does not also wake the main thread.
  struct LastCliVersion {
    std::mutex mutex;
    std::string version;
  };
  auto lastCliVersion = std::make_shared<LastCliVersion>();
  services.reportCliVersion = [lastCliVersion, model](std::string version) {
    {
      std::lock_guard lock(lastCliVersion->mutex);
      if (lastCliVersion->version == version) return;
      lastCliVersion->version = version;
    }
    Application::shared().postToMain([model, version = std::move(version)] {
      if (auto state = model.lock()) state->setLastSeenCliVersion(version);
    });
  };
  services.instructions = [model] {
    auto state = model.lock();
    return agentInstructions(state ? state->accounts() : std::vector<SecretInfo>{});
  };
}

bool ServerHost::start() {
  return prepare() && serve();
}

bool ServerHost::prepare() {
  if (prepared_) return true;
  if (!prepareProcess()) return false;
  installCredentials();

  Application& app = Application::shared();
  app.markMainThread();
  app.setMainQueue(&mainQueue_);

  state_ = std::make_shared<AppState>(KeychainManager("caskel", options_.store), DefaultsStore::shared(),
                                      AuditLogger::shared(), options_.clipboard, options_.sessionDirRoot);
  prepared_ = true;
  return true;
}

bool ServerHost::serve() {
  if (running_) return true;
  if (!prepared_) return false;
  server_ = std::make_unique<SocketServer>(KeychainManager("caskel", options_.store), options_.server);
  connectModel(server_->services());
  if (!server_->start()) {
    server_.reset();
    state_->reload(nullptr);
    return false;
  }
  Application::shared().setSessionManager(&server_->session());
  std::cout << "Caskel: listening on " << server_->socketPath() << std::endl;
  running_ = true;

  state_->reload(nullptr);
  return true;
}

void ServerHost::stop() {
  if (!prepared_) return;
  prepared_ = false;
  if (running_) {
    running_ = false;
    Application::shared().setSessionManager(nullptr);
    server_->stop();
  }
  state_->cleanup();
  AuditLogger::shared().flush();
}

}  // namespace caskel
