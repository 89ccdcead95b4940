#pragma once

#include <memory>
#include <string>

#include "platform/vault.h"
#include "platform/work_queue.h"
#include "server/socket_server.h"

namespace caskel {

class AppState;
class Authenticator;
class Clipboard;
class CredentialStore;

struct ServerHostOptions {
  ServerOptions server;
  // The clipboard that shares go through: the desktop's own, or the programs' that caskeld runs.
  std::shared_ptr<Clipboard> clipboard;
  // Where the model keeps the files it shares.
  std::string sessionDirRoot = "/tmp";
  // A host inside a test process leaves the process as it is (the filter would keep the test
  // off the network) and brings the store and authenticator that the vault and pinentry are.
  bool manageProcess = true;
  // The network filter; the desktop program goes without it when its display is reached over
  // the network (a forwarded X11 display), since the prompts it starts need that display too.
  bool filterNetwork = true;
  // Whether this program's stop signals are taken by a thread of the host (caskeld); the
  // desktop program blocks them itself before its toolkit starts threads.
  bool blockSignals = true;
  std::shared_ptr<CredentialStore> store;        // null: the vault
  std::shared_ptr<Authenticator> authenticator;  // null: passphrases asked through pinentry
  VaultOptions vault;                            // for the vault made when `store` is null
};

// The command server inside a program: the start-up and shutdown sequence that caskeld runs
// and that the desktop program runs from its own main. Start and stop on the main thread,
// the one that serves `mainQueue`.
class ServerHost {
 public:
  ServerHost(ServerHostOptions options, TaskQueue& mainQueue);
  ~ServerHost();
  ServerHost(const ServerHost&) = delete;
  ServerHost& operator=(const ServerHost&) = delete;

  // prepare() then serve(); caskeld's start-up. False when either was refused.
  bool start();
  // Hardens the process, installs the store and authenticator and builds the model. False
  // (with a "Caskel: " line) only when the process could not be hardened.
  bool prepare();
  // Starts serving. False when the server was refused (a live server owns the socket, say);
  // the model stays, so a desktop program goes on without a server of its own.
  bool serve();
  // The reverse: the model lets go of the server, the server stops, shared files go, the
  // audit log is flushed. Does nothing when not prepared.
  void stop();

  bool prepared() const { return prepared_; }
  bool running() const { return running_; }
  // Valid after a successful prepare() until destruction.
  AppState& state() { return *state_; }
  std::shared_ptr<AppState> sharedState() { return state_; }
  // Valid while running().
  SocketServer& server() { return *server_; }

 private:
  bool prepareProcess();
  void installCredentials();
  void connectModel(ServerServices& services);

  ServerHostOptions options_;
  TaskQueue& mainQueue_;
  std::shared_ptr<AppState> state_;
  std::unique_ptr<SocketServer> server_;
  bool prepared_ = false;
  bool running_ = false;
};

}  // namespace caskel
