#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_poller.h"
#include "platform/work_queue.h"
#include "server/caller_info.h"
#include "server/request_handler.h"
#include "session/session_manager.h"
#include "store/keychain_manager.h"

namespace caskel {

class AuditLogger;

struct ServerOptions {
  std::optional<std::string> socketPath;  // an explicit path; its directory is vetted like the default one
  unsigned clientThreads = 24;            // enough for several prompts on screen in turn
  double receiveBudget = 5.0;             // seconds from accept until the request must be complete
  std::string cliPath;                    // the caskel executable that "get-cli" serves
  std::string knownCallersPath;           // default: known_callers.json in the configuration directory
  std::string sessionConfigPath;          // default: config.json in the configuration directory
  double rotateBackupLifetime = 3600;     // seconds an _OLD backup lives
};

// The local endpoint of the caskel tool. One reader thread ("caskel.accept") accepts, admits
// and buffers every connection under one epoll loop, so silent or slow peers cost a buffer,
// never a thread; complete requests go to a fixed pool ("caskel.clients"), where a handler
// may wait for the user's answer to a prompt without holding up anyone else.
class SocketServer {
 public:
  SocketServer(KeychainManager keychain, ServerOptions options = {});
  ~SocketServer();
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;

  // Vets the socket directory, binds and listens, then starts the reader thread. False when
  // start-up was refused (a "Caskel: " line has been printed); the server is then inert.
  bool start();
  // Ends every session, closes the socket, removes it and its directory (when empty).
  void stop();

  SessionManager& session() { return session_; }
  CallerIdentifier& callers() { return callers_; }
  RequestHandler& handler() { return handler_; }
  ServerServices& services() { return services_; }
  const std::string& socketPath() const { return socketPath_; }
  const std::string& socketDir() const { return socketDir_; }
  bool isRunning() const { return running_.load(); }

  // /tmp/caskel-sock-<uid>
  static std::string socketDirectory();
  // $CASKEL_SOCKET when set, else the default path in socketDirectory().
  static std::string defaultSocketPath();

 private:
  struct Connection {
    int fd = -1;
    std::chrono::steady_clock::time_point deadline;
    std::string buffer;
    CallerInfo caller;
  };

  void acceptLoop();
  void acceptPending();
  void admit(int fd);
  void readFrom(Connection& connection, bool& finished);
  void dispatch(Connection connection);
  void serve(Connection& connection);  // on the pool: handle the request, reply, close
  void closeQuietly(Connection& connection);

  KeychainManager keychain_;
  ServerOptions options_;
  AuditLogger& audit_;
  SessionManager session_;
  CallerIdentifier callers_;
  std::string socketDir_;
  std::string socketPath_;
  int serverSocket_ = -1;
  std::atomic<bool> running_{false};
  bool started_ = false;

  EventPoller poller_;
  std::thread acceptThread_;
  std::mutex readyMutex_;
  std::vector<Connection> ready_;             // identified, waiting to be read
  std::map<int, Connection> reading_;         // owned by the reader thread

  ServerServices services_;
  RequestHandler handler_;
  WorkQueue clientQueue_;
};

}  // namespace caskel
