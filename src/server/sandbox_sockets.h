#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/event_poller.h"
#include "server/caller_info.h"

namespace caskel {

// The sockets the server opens for `caskel sandbox`, one per sandbox. The tool that asked keeps
// its request's connection (the control connection) open for as long as the sandbox runs; when
// that connection ends, or anything arrives on it, the sandbox's socket is closed and removed,
// and only then is the control connection closed, so the tool knows the path is gone when it
// sees the end. The sockets are bind-mounted into the sandboxes, which cannot reach the main
// socket: every connection on one is the sandbox's, whatever process makes it.
class SandboxSockets {
 public:
  // Called on this object's thread for each accepted connection; it takes the descriptor.
  using Admit = std::function<void(int fd, std::shared_ptr<const SandboxIdentity> sandbox)>;

  // Sockets go into directories "sandbox-<random>" inside `parentDirectory`.
  SandboxSockets(std::string parentDirectory, Admit admit);
  ~SandboxSockets();
  SandboxSockets(const SandboxSockets&) = delete;
  SandboxSockets& operator=(const SandboxSockets&) = delete;

  // Creates the sandbox's socket and calls `answer` with its path (to reply on the control
  // connection) before anything can close that connection. When `answer` succeeds the control
  // connection is owned here. Nullopt with `error` (a sentence for the tool) when refused; the
  // control connection is then still the caller's.
  std::optional<std::string> open(int controlFd, SandboxIdentity identity,
                                  const std::function<bool(const std::string& path)>& answer,
                                  std::string& error);
  // Closes every sandbox socket and stops the thread; later opens are refused.
  void stop();
  size_t openCount();

  // Enough for every agent a person runs at once; each costs a thread-free listener.
  static constexpr size_t kMaxOpen = 32;

 private:
  struct Sandbox {
    int listenFd = -1;
    int controlFd = -1;
    std::string directory;
    std::string path;
    std::shared_ptr<const SandboxIdentity> identity;
  };
  void loop();
  static void close(Sandbox& sandbox);

  std::string parent_;
  Admit admit_;
  EventPoller poller_;
  std::mutex lock_;
  bool stopped_ = false;
  std::map<int, int> listeners_;      // listening fd -> control fd
  std::map<int, Sandbox> sandboxes_;  // by control fd
  std::thread thread_;
};

}  // namespace caskel
