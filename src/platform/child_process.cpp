#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace caskel {

namespace {

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Keeps a child that stops reading from killing us with SIGPIPE: the signal is blocked on
// this thread while we write and any instance we caused is taken off the pending set.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old_);
  }
  ~SigpipeGuard() {
    if (!wasPending_) {
      sigset_t pipeSet;
      sigemptyset(&pipeSet);
      sigaddset(&pipeSet, SIGPIPE);
      struct timespec zero {};
      while (sigtimedwait(&pipeSet, nullptr, &zero) > 0) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t old_{};
  bool wasPending_ = false;
};

std::vector<std::string> buildEnvironment(const std::map<std::string, std::string>& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    auto eq = entry.find('=');
    std::string name(entry.substr(0, eq));
    if (overrides.count(name)) continue;
    env.emplace_back(entry);
  }
  for (const auto& [name, value] : overrides) env.push_back(name + "=" + value);
  return env;
}

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
  }
#endif
  (void)pid;
  return -1;
}

}  // namespace

std::optional<std::string> findOnPath(std::string_view name, std::string_view searchPath) {
  return findOnPath(name, searchPath, isExecutableFile);
}

std::optional<std::string> findExecutable(const std::string& name) {
  if (name.find('/') != std::string::npos) {
    if (isExecutableFile(name)) return name;
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  return findOnPath(name, path && *path ? std::string_view(path) : kDefaultSearchPath);
}

ChildResult runChild(const std::string& program, const std::vector<std::string>& arguments,
                     const ChildOptions& options) {
  ChildResult result;
  auto executable = findExecutable(program);
  if (!executable) return result;

  int inPipe[2] = {-1, -1};
  int outPipe[2] = {-1, -1};
  if (options.input && ::pipe2(inPipe, O_CLOEXEC) != 0) return result;
  if (options.captureOutput && ::pipe2(outPipe, O_CLOEXEC) != 0) {
    closeFd(inPipe[0]);
    closeFd(inPipe[1]);
    return result;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.input) {
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (options.captureOutput) {
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Nothing of ours beyond the three standard streams reaches the child (or a helper it
  // leaves running), whether or not the descriptor was opened close-on-exec.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t noSignals;
  sigemptyset(&noSignals);
  sigset_t allSignals;
  sigfillset(&allSignals);
  posix_spawnattr_setsigmask(&attributes, &noSignals);
  posix_spawnattr_setsigdefault(&attributes, &allSignals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argStrings;
  argStrings.push_back(program);
  argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings = buildEnvironment(options.environment);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  int spawnError = posix_spawn(&pid, executable->c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  // The environment may carry a passphrase for the child; it is no longer needed here.
  for (auto& e : envStrings) std::memset(e.data(), 0, e.size());
  closeFd(inPipe[0]);
  closeFd(outPipe[1]);
  if (spawnError != 0) {
    closeFd(inPipe[1]);
    closeFd(outPipe[0]);
    return result;
  }
  result.launched = true;

  int writeFd = inPipe[1];
  int readFd = outPipe[0];
  if (writeFd >= 0) ::fcntl(writeFd, F_SETFL, O_NONBLOCK);
  if (readFd >= 0) ::fcntl(readFd, F_SETFL, O_NONBLOCK);
  int pidFd = openPidfd(pid);

  std::string_view pending = options.input ? *options.input : std::string_view{};
  if (writeFd >= 0 && pending.empty()) closeFd(writeFd);

  auto drain = [&]() {
    char buf[65536];
    for (;;) {
      ssize_t n = ::read(readFd, buf, sizeof buf);
      if (n > 0) {
        size_t room = options.maxOutput > result.output.size() ? options.maxOutput - result.output.size() : 0;
        result.output.append(buf, std::min(room, static_cast<size_t>(n)));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return n == 0;  // true at end of stream
    }
  };

  SigpipeGuard sigpipeGuard;
  const auto deadline = std::chrono::steady_clock::now() + options.timeLimit;
  int status = 0;
  bool exited = false;
  bool statusKnown = true;
  while (!exited) {
    pid_t w = ::waitpid(pid, &status, WNOHANG);
    if (w == pid) {
      exited = true;
      break;
    }
    if (w < 0 && errno != EINTR) {
      // Reaped elsewhere (SIGCHLD ignored): the exit code is lost, so it cannot count as success.
      exited = true;
      statusKnown = false;
      break;
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      result.timedOut = true;
      exited = true;
      break;
    }
    std::vector<pollfd> fds;
    if (writeFd >= 0) fds.push_back({writeFd, POLLOUT, 0});
    if (readFd >= 0) fds.push_back({readFd, POLLIN, 0});
    if (pidFd >= 0) fds.push_back({pidFd, POLLIN, 0});
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    // Without a pidfd the child's exit is noticed by polling waitpid in short slices.
    int waitMs =
        static_cast<int>(pidFd >= 0 ? std::min<long long>(left, 1000) : std::min<long long>(left, 10));
    int ready = ::poll(fds.data(), fds.size(), waitMs);
    if (ready < 0 && errno != EINTR) break;
    for (const auto& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == writeFd) {
        if (p.revents & (POLLERR | POLLHUP)) {
          closeFd(writeFd);
          continue;
        }
        ssize_t n = ::write(writeFd, pending.data(), pending.size());
        if (n > 0) {
          pending.remove_prefix(static_cast<size_t>(n));
          if (pending.empty()) closeFd(writeFd);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
          closeFd(writeFd);  // the child stopped reading
        }
      } else if (p.fd == readFd) {
        if (drain()) closeFd(readFd);
      }
    }
  }
  if (!exited) {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.timedOut = true;
  }
  // Whatever the child wrote before exiting is in the pipe now; a helper it left behind that
  // keeps the pipe open is not waited for.
  if (readFd >= 0) drain();
  closeFd(writeFd);
  closeFd(readFd);
  closeFd(pidFd);
  if (!result.timedOut && statusKnown && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  return result;
}

}  // namespace caskel
