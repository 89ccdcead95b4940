#include "server/sandbox_sockets.h"

#include <sodium.h>

#include <vector>

#include "platform/unix_socket.h"

namespace caskel {

namespace {

// A sandbox's agent may start many clients at once, each of them a short exchange.
constexpr int kBacklog = 128;
constexpr size_t kNameBytes = 8;

std::string randomName() {
  unsigned char bytes[kNameBytes];
  randombytes_buf(bytes, sizeof bytes);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = "sandbox-";
  for (unsigned char b : bytes) {
    name += kHex[b >> 4];
    name += kHex[b & 15];
  }
  return name;
}

}  // namespace

SandboxSockets::SandboxSockets(std::string parentDirectory, Admit admit)
    : parent_(std::move(parentDirectory)), admit_(std::move(admit)) {}

SandboxSockets::~SandboxSockets() {
  stop();
}

std::optional<std::string> SandboxSockets::open(int controlFd, SandboxIdentity identity,
                                                const std::function<bool(const std::string& path)>& answer,
                                                std::string& error) {
  Sandbox sandbox;
  {
    std::lock_guard guard(lock_);
    if (stopped_ || !poller_.valid()) {
      error = "The server is stopping";
      return std::nullopt;
    }
    if (sandboxes_.size() >= kMaxOpen) {
      error = "Too many sandboxes are open (" + std::to_string(kMaxOpen) + ") — end one first";
      return std::nullopt;
    }
  }
  sandbox.directory = parent_ + "/" + randomName();
  sandbox.path = sandbox.directory + "/caskel.sock";
  if (sandbox.path.size() > sock::kMaxPathBytes) {
    error =
        "The sandbox socket's path would be longer than " + std::to_string(sock::kMaxPathBytes) + " bytes";
    return std::nullopt;
  }
  const mode_t previous = sock::setUmask(077);
  const bool prepared = sock::prepareSocketDirectory(sandbox.directory);
  sock::ListenResult listening;
  if (prepared) listening = sock::listenAt(sandbox.path, kBacklog);
  sock::setUmask(previous);
  if (!prepared || listening.failedAt != sock::ListenResult::Step::ok ||
      !sock::setNonBlocking(listening.fd)) {
    if (listening.fd >= 0) sock::closeFd(listening.fd);
    sock::unlinkPath(sandbox.path);
    sock::removeDirectory(sandbox.directory);
    error = "The server could not open a socket for the sandbox";
    return std::nullopt;
  }
  sandbox.listenFd = listening.fd;
  sandbox.identity = std::make_shared<const SandboxIdentity>(std::move(identity));
  // The answer goes out before the control connection is watched: once it is, a peer that hangs
  // up gets its descriptor closed on our thread, and the number could name another connection.
  if (!answer(sandbox.path)) {
    close(sandbox);
    error = "The tool went away before the sandbox was ready";
    return std::nullopt;
  }
  std::lock_guard guard(lock_);
  if (stopped_ || !poller_.add(sandbox.listenFd) || !poller_.add(controlFd)) {
    poller_.remove(sandbox.listenFd);
    close(sandbox);
    error = "The server is stopping";
    return std::nullopt;
  }
  sandbox.controlFd = controlFd;
  listeners_[sandbox.listenFd] = controlFd;
  sandboxes_.emplace(controlFd, std::move(sandbox));
  if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
  return sandboxes_.at(controlFd).path;
}

size_t SandboxSockets::openCount() {
  std::lock_guard guard(lock_);
  return sandboxes_.size();
}

void SandboxSockets::loop() {
  for (;;) {
    const std::vector<EventPoller::Event> events = poller_.wait(-1);
    std::vector<std::pair<int, std::shared_ptr<const SandboxIdentity>>> accepted;
    {
      std::lock_guard guard(lock_);
      if (stopped_) return;
      for (const auto& event : events) {
        if (event.fd < 0) continue;
        if (auto listener = listeners_.find(event.fd); listener != listeners_.end()) {
          const auto& identity = sandboxes_.at(listener->second).identity;
          for (int fd; (fd = sock::acceptConnection(event.fd)) >= 0;) accepted.emplace_back(fd, identity);
          continue;
        }
        auto it = sandboxes_.find(event.fd);
        if (it == sandboxes_.end()) continue;
        // The tool writes nothing after its request: any byte or the end means the sandbox is over.
        poller_.remove(it->second.listenFd);
        poller_.remove(it->first);
        listeners_.erase(it->second.listenFd);
        close(it->second);
        sandboxes_.erase(it);
      }
    }
    for (auto& [fd, identity] : accepted) admit_(fd, std::move(identity));
  }
}

void SandboxSockets::close(Sandbox& sandbox) {
  // Removed before the control connection closes: the tool's "ended" means "gone".
  if (sandbox.listenFd >= 0) sock::closeFd(sandbox.listenFd);
  sock::unlinkPath(sandbox.path);
  sock::removeDirectory(sandbox.directory);
  if (sandbox.controlFd >= 0) sock::closeFd(sandbox.controlFd);
  sandbox.listenFd = sandbox.controlFd = -1;
}

void SandboxSockets::stop() {
  {
    std::lock_guard guard(lock_);
    if (stopped_) return;
    stopped_ = true;
  }
  poller_.wake();
  if (thread_.joinable()) thread_.join();
  std::lock_guard guard(lock_);
  for (auto& [fd, sandbox] : sandboxes_) close(sandbox);
  sandboxes_.clear();
  listeners_.clear();
}

}  // namespace caskel
