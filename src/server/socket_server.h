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
#include "server/backup_timers.h"
#include "server/caller_info.h"
#include "server/request_handler.h"
#include "server/sandbox_sockets.h"
#include "session/session_manager.h"
#include "store/keychain_manager.h"

namespace caskel {

class AuditLogger;

struct ServerOptions {
  std::optional<std::string> socketPath;  // an explicit path; its directory is vetted like the default one
  unsigned clientThreads = 24;            // enough for several prompts on screen in turn
  unsigned acceptThreads = 8;             // threads waiting in accept(); each serves what it took
  double receiveBudget = 5.0;             // seconds from accept until the request must be complete
  std::string cliPath;                    // the caskel executable that "get-cli" serves
  std::string knownCallersPath;           // default: known_callers.json in the configuration directory
  std::string sessionConfigPath;          // default: config.json in the configuration directory
  double rotateBackupLifetime = 3600;     // seconds an _OLD backup lives
};

// The local endpoint of the caskel tool. A few accepting threads ("caskel.accept") wait in
// accept(); each admits and identifies the connection it took and, when the request is already
// there (the tool writes it right after connecting), serves it itself: one thread wakes per
// request. A connection still silent goes to one reader thread that buffers it under epoll, so
// silent or slow peers cost a buffer, never a thread; the requests it completes go to a fixed
// pool ("caskel.clients"), where a handler may wait for the user's answer to a prompt without
// holding up anyone else. The last free accepting thread hands its connection to that pool
// instead of serving it, so that one is always back in accept() even while the others wait on
// prompts.
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
  size_t openSandboxes() { return sandboxes_.openCount(); }
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
    PeerCredentials peer;  // its pidfd is owned here and closed with the connection
  };

  void acceptLoop();  // on an accepting thread
  void readLoop();    // the reader thread
  // `sandbox`: the connection came in on that sandbox's socket.
  void admit(int fd, std::shared_ptr<const SandboxIdentity> sandbox = nullptr);
  // Identifies the peer, then serves its request if it has arrived, else hands the connection
  // to the reader.
  void welcome(int fd, const PeerCredentials& peer, std::chrono::steady_clock::time_point deadline,
               double admittedAt, const std::shared_ptr<const SandboxIdentity>& sandbox);
  // Answers a "sandbox" request and keeps its connection for the sandbox's lifetime; false when
  // the request is another command.
  bool openSandbox(Connection& connection);
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
  std::thread readerThread_;
  std::atomic<int> freeAcceptors_{0};  // accepting threads not busy with a connection
  std::mutex readyMutex_;
  std::vector<Connection> ready_;      // identified, waiting to be read
  std::map<int, Connection> reading_;  // owned by the reader thread

  SandboxSockets sandboxes_;
  BackupTimers backupTimers_;
  ServerServices services_;
  RequestHandler handler_;
  WorkQueue clientQueue_;
  WorkQueue acceptQueue_;  // runs one accept loop per thread
};

}  // namespace caskel
