#include "server/socket_server.h"

#include <sodium.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "audit/audit_logger.h"
#include "base/display_text.h"
#include "base/protocol.h"
#include "platform/file_system.h"
#include "platform/unix_socket.h"
#include "server/request_framing.h"
#include "server/response_writer.h"
#include "store/json_text.h"

namespace caskel {

namespace {

void say(const std::string& line) {
  // Start-up messages go to standard output as single lines.
  std::cout << "Caskel: " << line << std::endl;
}

std::string directoryOf(const std::string& path) { return fs::parentOf(path); }

// An executable path is the caller's to choose: kept whole in the log up to a sane length.
constexpr size_t kMaxLoggedPath = 1024;
constexpr size_t kMaxSandboxCommand = 256;
constexpr size_t kMaxSandboxProject = 4096;

}  // namespace

std::string SocketServer::socketDirectory() { return protocol::socketDirectory(sock::currentUid()); }

std::string SocketServer::defaultSocketPath() {
  return protocol::defaultSocketPath(std::getenv(protocol::kSocketVariable), sock::currentUid());
}

SocketServer::SocketServer(KeychainManager keychain, ServerOptions options)
    : keychain_(std::move(keychain)),
      options_(std::move(options)),
      audit_(AuditLogger::shared()),
      session_(keychain_, options_.sessionConfigPath),
      callers_(ProcessInfo::system(), options_.knownCallersPath, fs::homeDirectory()),
      socketDir_(options_.socketPath ? directoryOf(*options_.socketPath) : socketDirectory()),
      socketPath_(options_.socketPath.value_or(protocol::defaultSocketPath(nullptr, sock::currentUid()))),
      sandboxes_(
          socketDir_,
          [this](int fd, std::shared_ptr<const SandboxIdentity> sandbox) { admit(fd, std::move(sandbox)); }),
      services_{keychain_, session_, audit_, clientQueue_, nullptr, nullptr, nullptr, options_.cliPath,
                fs::homeDirectory(), backupTimers_, options_.rotateBackupLifetime},
      handler_(services_),
      clientQueue_("caskel.clients", options_.clientThreads),
      acceptQueue_("caskel.accept", options_.acceptThreads) {
  callers_.loadKnownCallers();
}

SocketServer::~SocketServer() {
  stop();
  acceptQueue_.shutdown();
  clientQueue_.shutdown();
}

bool SocketServer::start() {
  if (started_) return running_;
  started_ = true;
  if (!poller_.valid()) {
    say("epoll failed — refusing to start");
    return false;
  }
  if (socketPath_.size() > sock::kMaxPathBytes) {
    // Cutting the path would bind the socket somewhere the tool never looks.
    say("socket path is longer than " + std::to_string(sock::kMaxPathBytes) + " bytes — refusing to start");
    return false;
  }
  mode_t previous = sock::setUmask(077);
  struct Restore {
    mode_t mask;
    ~Restore() { sock::setUmask(mask); }
  } restore{previous};

  if (!sock::prepareSocketDirectory(socketDir_)) {
    say("socket directory has wrong owner or permissions — refusing to start");
    return false;
  }
  switch (sock::pathKind(socketPath_)) {
    case sock::PathKind::none:
      break;
    case sock::PathKind::socket:
      // Only a dead socket is removed: a live one belongs to another running instance.
      if (sock::isLive(socketPath_)) {
        say("another instance is already running — refusing to start");
        return false;
      }
      sock::unlinkPath(socketPath_);
      break;
    case sock::PathKind::other:
      say("socket path is taken by a file that is not a socket — refusing to start");
      return false;
  }
  sock::ListenResult listening = sock::listenAt(socketPath_, sock::kMaxBacklog);
  switch (listening.failedAt) {
    case sock::ListenResult::Step::ok:
      break;
    case sock::ListenResult::Step::pathTooLong:
      say("socket path is longer than " + std::to_string(sock::kMaxPathBytes) + " bytes — refusing to start");
      return false;
    case sock::ListenResult::Step::socket:
      say("socket() failed: " + std::to_string(listening.error.code));
      return false;
    case sock::ListenResult::Step::bind:
      say("bind() failed: " + std::to_string(listening.error.code) + " - " + listening.error.text);
      return false;
    case sock::ListenResult::Step::listen:
      say("listen() failed: " + std::to_string(listening.error.code));
      return false;
  }
  serverSocket_ = listening.fd;
  running_ = true;
  readerThread_ = std::thread([this] { readLoop(); });
  freeAcceptors_ = static_cast<int>(acceptQueue_.threadCount());
  for (unsigned i = 0; i < acceptQueue_.threadCount(); ++i) acceptQueue_.post([this] { acceptLoop(); });
  return true;
}

void SocketServer::stop() {
  bool wasRunning = running_.exchange(false);
  session_.lock(std::nullopt);
  sandboxes_.stop();
  if (serverSocket_ >= 0) {
    sock::interruptAccept(serverSocket_);
    acceptQueue_.shutdown();  // every accept loop has returned
  }
  if (readerThread_.joinable()) {
    poller_.wake();
    readerThread_.join();
  }
  if (serverSocket_ >= 0) {
    sock::closeFd(serverSocket_);
    serverSocket_ = -1;
  }
  if (wasRunning) {
    // Only our own socket is removed: a refused start leaves a live instance's socket, and a
    // refused directory, exactly as they were.
    sock::unlinkPath(socketPath_);
    sock::removeDirectory(socketDir_);
  }
}

void SocketServer::acceptLoop() {
  while (running_) {
    int fd = sock::acceptConnection(serverSocket_);
    if (fd >= 0) {
      admit(fd);
    } else if (running_) {
      // Out of descriptors or memory: wait a moment rather than spin on the same error.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
}

void SocketServer::readLoop() {
  while (running_) {
    auto now = std::chrono::steady_clock::now();
    int timeoutMs = -1;
    for (auto& [fd, c] : reading_) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c.deadline - now).count() + 1;
      if (left < 0) left = 0;
      if (timeoutMs < 0 || left < timeoutMs) timeoutMs = static_cast<int>(left);
    }
    for (const auto& event : poller_.wait(timeoutMs)) {
      if (!running_) break;
      if (event.fd == -1) {
        std::vector<Connection> ready;
        {
          std::lock_guard lock(readyMutex_);
          ready.swap(ready_);
        }
        for (auto& c : ready) {
          int fd = c.fd;
          if (!poller_.add(fd)) {
            closeQuietly(c);
            continue;
          }
          reading_.emplace(fd, std::move(c));
        }
        continue;
      }
      auto it = reading_.find(event.fd);
      if (it == reading_.end()) continue;
      bool finished = false;
      readFrom(it->second, finished);
      if (finished) {
        poller_.remove(event.fd);
        Connection c = std::move(it->second);
        reading_.erase(it);
        dispatch(std::move(c));
      }
    }
    // The receive budget: whatever has arrived by then is the request.
    now = std::chrono::steady_clock::now();
    for (auto it = reading_.begin(); it != reading_.end();) {
      if (it->second.deadline <= now) {
        poller_.remove(it->first);
        Connection c = std::move(it->second);
        it = reading_.erase(it);
        dispatch(std::move(c));
      } else {
        ++it;
      }
    }
  }
  for (auto& [fd, c] : reading_) {
    poller_.remove(fd);
    closeQuietly(c);
  }
  reading_.clear();
  std::lock_guard lock(readyMutex_);
  for (auto& c : ready_) closeQuietly(c);
  ready_.clear();
}

void SocketServer::admit(int fd, std::shared_ptr<const SandboxIdentity> sandbox) {
  uint32_t uid = 0;
  int32_t pid = 0;
  // Admission first, before a byte of the request is buffered.
  if (!sock::peerCredentials(fd, uid, pid) || uid != sock::currentUid()) {
    sendReply(fd, Reply::failure(Admission::kUnauthorized));
    sock::closeFd(fd);
    return;
  }
  int pidfd = sock::peerPidfd(fd);
  if (pidfd == sock::kPeerGone) {
    // The process that connected has already exited: whoever holds the socket now is unknown.
    sendReply(fd, Reply::failure(Admission::kUnidentified));
    sock::closeFd(fd);
    return;
  }
  const double admittedAt =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(options_.receiveBudget));
  const PeerCredentials peer{uid, pid, pidfd < 0 ? -1 : pidfd};
  // A sandbox's connections arrive on the sandbox thread, which must get back to its sockets.
  if (sandbox || freeAcceptors_.fetch_sub(1) <= 1) {
    if (!sandbox) freeAcceptors_.fetch_add(1);
    clientQueue_.post([this, fd, peer, deadline, admittedAt, sandbox] {
      welcome(fd, peer, deadline, admittedAt, sandbox);
    });
    return;
  }
  welcome(fd, peer, deadline, admittedAt, nullptr);
  freeAcceptors_.fetch_add(1);
}

void SocketServer::welcome(int fd, const PeerCredentials& peer,
                           std::chrono::steady_clock::time_point deadline, double admittedAt,
                           const std::shared_ptr<const SandboxIdentity>& sandbox) {
  Connection connection{fd, deadline, {}, {}, peer};
  Admission admission =
      sandbox ? callers_.identifySandboxed(peer, *sandbox) : callers_.identifyPeer(peer, admittedAt);
  if (admission.status != Admission::Status::admitted) {
    // Refused without reading a byte: no prompt can be truthful about an unknown caller.
    sendReply(fd, Reply::failure(admission.status == Admission::Status::unauthorized ? Admission::kUnauthorized
                                                                                     : Admission::kUnidentified));
    closeQuietly(connection);
    return;
  }
  const CallerInfo& caller = admission.caller;
  if (caller.isFirstSeen) {
    audit_.log("NEW_CALLER", displaySafe(caller.resolvedPath.value_or(caller.name), kMaxLoggedPath),
               "pid " + std::to_string(caller.resolvedPid));
  }
  connection.caller = std::move(admission.caller);
  // A client usually writes its request right after connecting, so it is often here already:
  // then this thread serves it at once instead of handing it to the reader and back.
  bool finished = false;
  readFrom(connection, finished);
  if (finished) {
    serve(connection);
    return;
  }
  {
    std::lock_guard lock(readyMutex_);
    ready_.push_back(std::move(connection));
  }
  poller_.wake();
}

void SocketServer::serve(Connection& connection) {
  if (connection.buffer.empty()) {
    closeQuietly(connection);
    return;
  }
  if (connection.buffer.size() > kMaxRequestBytes) {
    sendReply(connection.fd, Reply::failure("Invalid request"));
  } else if (!callers_.stillConnected(connection.peer, connection.caller)) {
    // The request is served only for the process that connected, and only while it lives: a
    // socket handed on, or left behind by a process that exited, speaks for no one.
    sendReply(connection.fd, Reply::failure(Admission::kUnidentified));
  } else if (!openSandbox(connection)) {
    handler_.handle(connection.fd, connection.caller, connection.buffer);
  }
  closeQuietly(connection);
}

bool SocketServer::openSandbox(Connection& connection) {
  // Every request passes here: only one that names the command is parsed twice. One that spells
  // it with escapes reaches the command table, which does not know it.
  if (connection.buffer.find("\"sandbox\"") == std::string::npos) return false;
  nlohmann::json body = nlohmann::json::parse(connection.buffer, nullptr, false);
  if (!body.is_object() || body.value("cmd", nlohmann::json()) != "sandbox") {
    wipeJsonStrings(body);  // a value that happens to read "sandbox" leaves no copy behind
    return false;
  }
  const auto text = [&](const char* key) {
    auto it = body.find(key);
    return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  const std::string command = text("command"), project = text("project");
  std::string error;
  if (connection.caller.treatedAsAgent()) {
    // Its prompts would say "sandboxed" about a process that is not.
    error = "Refused: an AI agent cannot open a sandbox — start `caskel sandbox` from your own terminal";
  } else if (command.empty() || command.size() > kMaxSandboxCommand || project.size() > kMaxSandboxProject ||
             !project.starts_with('/')) {
    error = "Invalid sandbox request";
  } else {
    const int fd = connection.fd;
    const std::string hidden[] = {fs::configDirectory(), fs::dataDirectory(), socketDir_};
    auto opened = sandboxes_.open(
        fd, SandboxIdentity{command, project, connection.caller.pid, connection.caller.peerStartTime},
        [&](const std::string& path) {
          // One line, and the connection stays open: it is the sandbox's lifeline.
          const Reply reply = Reply::success(std::nullopt, {{"socket", path}, {"hide", hidden}});
          return sock::sendAll(fd, toCompactJson(reply.toJson()) + "\n", kReplySendTimeout);
        },
        error);
    if (opened) {
      connection.fd = -1;  // owned by the sandbox now
      return true;
    }
  }
  sendReply(connection.fd, Reply::failure(error));
  return true;
}

void SocketServer::readFrom(Connection& c, bool& finished) {
  char chunk[16384];
  for (;;) {
    size_t room = kMaxRequestBytes + 1 - c.buffer.size();
    ssize_t n = sock::readAvailable(c.fd, chunk, std::min(room, sizeof chunk));
    if (n == -1) break;  // nothing more for now
    if (n <= 0) {        // end of stream or error: what arrived is the request
      finished = true;
      break;
    }
    c.buffer.append(chunk, static_cast<size_t>(n));
    sodium_memzero(chunk, static_cast<size_t>(n));
    if (c.buffer.size() >= kMaxRequestBytes) {
      finished = true;
      break;
    }
  }
  if (!finished && isCompleteRequest(c.buffer)) finished = true;
}

void SocketServer::dispatch(Connection connection) {
  if (connection.buffer.empty()) {
    // Silence, a closed peer or a read error: no reply.
    closeQuietly(connection);
    return;
  }
  auto shared = std::make_shared<Connection>(std::move(connection));
  clientQueue_.post([this, shared] { serve(*shared); });
}

void SocketServer::closeQuietly(Connection& c) {
  sock::closeFd(c.fd);
  c.fd = -1;
  if (c.peer.pidfd >= 0) sock::closeFd(c.peer.pidfd);
  c.peer.pidfd = -1;
  if (!c.buffer.empty()) sodium_memzero(c.buffer.data(), c.buffer.size());
  c.buffer.clear();
}

}  // namespace caskel
