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

namespace {

// Pipes to the child's standard input and output, each only when asked for.
struct ChildPipes {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};

  bool open(const ChildOptions& options) {
    if (options.input && ::pipe2(in, O_CLOEXEC) != 0) return false;
    if (options.captureOutput && ::pipe2(out, O_CLOEXEC) != 0) {
      closeFd(in[0]);
      closeFd(in[1]);
      return false;
    }
    return true;
  }
  void closeChildEnds() {
    closeFd(in[0]);
    closeFd(out[1]);
  }
  void closeOurEnds() {
    closeFd(in[1]);
    closeFd(out[0]);
  }
};

// Starts the child with the pipes as its standard streams (the rest /dev/null), nothing else
// of ours open, default signal handling and `options.environment` over ours. Returns the
// posix_spawn error.
int spawnChild(const std::string& executable, const std::string& program, const std::vector<std::string>& arguments,
               const ChildOptions& options, const ChildPipes& pipes, pid_t& pid) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.input) {
    posix_spawn_file_actions_adddup2(&actions, pipes.in[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (options.captureOutput) {
    posix_spawn_file_actions_adddup2(&actions, pipes.out[1], STDOUT_FILENO);
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

  int spawnError = posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  // The environment may carry a passphrase for the child; it is no longer needed here.
  for (auto& e : envStrings) std::memset(e.data(), 0, e.size());
  return spawnError;
}

// Our ends of a running child's pipes: the input still to write, the output read so far.
class ChildStreams {
 public:
  ChildStreams(const ChildPipes& pipes, const ChildOptions& options, std::string& output)
      : writeFd_(pipes.in[1]), readFd_(pipes.out[0]), maxOutput_(options.maxOutput), output_(output) {
    if (writeFd_ >= 0) ::fcntl(writeFd_, F_SETFL, O_NONBLOCK);
    if (readFd_ >= 0) ::fcntl(readFd_, F_SETFL, O_NONBLOCK);
    if (options.input) pending_ = *options.input;
    if (writeFd_ >= 0 && pending_.empty()) closeFd(writeFd_);
  }
  ~ChildStreams() {
    closeFd(writeFd_);
    closeFd(readFd_);
  }
  ChildStreams(const ChildStreams&) = delete;
  ChildStreams& operator=(const ChildStreams&) = delete;

  void addPollEntries(std::vector<pollfd>& fds) const {
    if (writeFd_ >= 0) fds.push_back({writeFd_, POLLOUT, 0});
    if (readFd_ >= 0) fds.push_back({readFd_, POLLIN, 0});
  }
  void serve(const pollfd& p) {
    if (p.revents == 0) return;
    if (p.fd == writeFd_) {
      writeSome(p.revents);
    } else if (p.fd == readFd_) {
      if (drain()) closeFd(readFd_);
    }
  }
  // Whatever the child wrote before exiting is in the pipe now; a helper it left behind that
  // keeps the pipe open is not waited for.
  void finish() {
    if (readFd_ >= 0) drain();
  }

 private:
  void writeSome(short revents) {
    if (revents & (POLLERR | POLLHUP)) {
      closeFd(writeFd_);
      return;
    }
    ssize_t n = ::write(writeFd_, pending_.data(), pending_.size());
    if (n > 0) {
      pending_.remove_prefix(static_cast<size_t>(n));
      if (pending_.empty()) closeFd(writeFd_);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      closeFd(writeFd_);  // the child stopped reading
    }
  }
  // Reads what is there; true at end of stream.
  bool drain() {
    char buf[65536];
    for (;;) {
      ssize_t n = ::read(readFd_, buf, sizeof buf);
      if (n > 0) {
        size_t room = maxOutput_ > output_.size() ? maxOutput_ - output_.size() : 0;
        output_.append(buf, std::min(room, static_cast<size_t>(n)));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return n == 0;
    }
  }

  int writeFd_;
  int readFd_;
  size_t maxOutput_;
  std::string& output_;
  std::string_view pending_;
};

void killAndReap(pid_t pid, int& status) {
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Feeds and drains the child until it exits or its time is up; fills in how it ended.
void superviseChild(pid_t pid, ChildStreams& streams, const ChildOptions& options, ChildResult& result) {
  SigpipeGuard sigpipeGuard;
  int pidFd = openPidfd(pid);
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
      killAndReap(pid, status);
      result.timedOut = true;
      exited = true;
      break;
    }
    std::vector<pollfd> fds;
    streams.addPollEntries(fds);
    if (pidFd >= 0) fds.push_back({pidFd, POLLIN, 0});
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    // Without a pidfd the child's exit is noticed by polling waitpid in short slices.
    int waitMs =
        static_cast<int>(pidFd >= 0 ? std::min<long long>(left, 1000) : std::min<long long>(left, 10));
    int ready = ::poll(fds.data(), fds.size(), waitMs);
    if (ready < 0 && errno != EINTR) break;
    for (const auto& p : fds) {
      if (p.fd != pidFd) streams.serve(p);
    }
  }
  if (!exited) {
    killAndReap(pid, status);
    result.timedOut = true;
  }
  streams.finish();
  closeFd(pidFd);
  if (!result.timedOut && statusKnown && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
}

}  // namespace

ChildResult runChild(const std::string& program, const std::vector<std::string>& arguments,
                     const ChildOptions& options) {
  ChildResult result;
  auto executable = findExecutable(program);
  if (!executable) return result;
  ChildPipes pipes;
  if (!pipes.open(options)) return result;
  pid_t pid = -1;
  int spawnError = spawnChild(*executable, program, arguments, options, pipes, pid);
  pipes.closeChildEnds();
  if (spawnError != 0) {
    pipes.closeOurEnds();
    return result;
  }
  result.launched = true;
  ChildStreams streams(pipes, options, result.output);
  superviseChild(pid, streams, options, result);
  return result;
}

}  // namespace caskel
