#pragma once

#include <memory>

#include "app/app_state.h"
#include "app/application.h"
#include "app/server_host.h"
#include "audit/audit_logger.h"
#include "platform/defaults_store.h"
#include "support/fake_clipboard.h"
#include "support/fakes.h"
#include "support/manual_queue.h"
#include "support/test_env.h"

namespace caskel::test {

// The application's state over an in-memory store, a fake prompt and a fake clipboard in a
// temporary directory, lent to the program (shared authenticator and store, main queue) while
// the parts live. Header-only: only the programs' own tests link the application.
struct AppParts {
  AppParts() {
    Authenticator::setShared(auth);
    CredentialStore::setShared(store);
    Application::shared().markMainThread();
    Application::shared().setMainQueue(&mainQueue);
  }
  ~AppParts() {
    state.reset();
    Application::shared().setMainQueue(nullptr);
    Application::shared().setSessionManager(nullptr);
    Authenticator::setShared(previousAuth);
    CredentialStore::setShared(previousStore);
  }
  AppParts(const AppParts&) = delete;
  AppParts& operator=(const AppParts&) = delete;

  // A server host over these parts, serving on a socket in `dir`, leaving the process alone.
  ServerHostOptions hostOptions() const {
    ServerHostOptions options;
    options.manageProcess = false;
    options.store = store;
    options.authenticator = auth;
    options.clipboard = clipboard;
    options.sessionDirRoot = dir.path();
    options.server.socketPath = dir.file("caskel.sock");
    options.server.knownCallersPath = dir.file("known_callers.json");
    options.server.sessionConfigPath = dir.file("config.json");
    return options;
  }

  std::shared_ptr<Authenticator> previousAuth = Authenticator::shared();
  std::shared_ptr<CredentialStore> previousStore = CredentialStore::shared();
  std::shared_ptr<FakeAuthenticator> auth = std::make_shared<FakeAuthenticator>();
  std::shared_ptr<MemoryCredentialStore> store = std::make_shared<MemoryCredentialStore>();
  KeychainManager keychain{"caskel", store};
  TempDir dir;
  DefaultsStore defaults{dir.file("defaults.json")};
  AuditLogger audit{dir.file("log"), defaults};
  std::shared_ptr<FakeClipboard> clipboard = std::make_shared<FakeClipboard>();
  ManualQueue mainQueue;
  std::unique_ptr<AppState> state =
      std::make_unique<AppState>(keychain, defaults, audit, clipboard, dir.path());
};

}  // namespace caskel::test
