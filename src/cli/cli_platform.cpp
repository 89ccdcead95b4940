#include "cli/cli_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

#include "base/path_lookup.h"

extern char** environ;

namespace caskel::cli {

namespace {

int openDevNull(int flags) {
  return ::open("/dev/null", flags | O_CLOEXEC);
}

// Only async-signal-safe calls from here on in a forked child.
void redirectStdio(int inFd, int outFd, int errFd) {
  if (inFd >= 0) ::dup2(inFd, 0);
  if (outFd >= 0) ::dup2(outFd, 1);
  if (errFd >= 0) ::dup2(errFd, 2);
}

void closeFrom(int first) {
  long max = ::sysconf(_SC_OPEN_MAX);
  if (max < 0 || max > 65536) max = 65536;
  for (int fd = first; fd < max; ++fd) ::close(fd);
}

struct termios gSavedTerminal;
int gSavedTerminalFd = -1;

void restoreTerminalAndExit(int sig) {
  if (gSavedTerminalFd >= 0) ::tcsetattr(gSavedTerminalFd, TCSAFLUSH, &gSavedTerminal);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

std::optional<std::string> readLineFrom(int fd) {
  std::string line;
  char c;
  while (true) {
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (line.empty()) return std::nullopt;
      break;
    }
    if (c == '\n') break;
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::optional<std::string> envVar(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return std::nullopt;
  return std::string(v);
}

unsigned currentUid() {
  return static_cast<unsigned>(::getuid());
}

std::string homeDir() {
  if (auto home = envVar("HOME")) return *home;
  if (const struct passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    return pw->pw_dir;
  }
  return "/";
}

bool isTerminal(int fd) {
  return ::isatty(fd) == 1;
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::optional<std::string> readAll(int fd, size_t limit) {
  std::string out;
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      wipe(out);
      return std::nullopt;
    }
    if (n == 0) break;
    if (out.size() + static_cast<size_t>(n) > limit) {
      wipe(out);
      OPENSSL_cleanse(buf, sizeof buf);
      return std::nullopt;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  OPENSSL_cleanse(buf, sizeof buf);
  return out;
}

long readChunk(int fd, char* buf, size_t size) {
  while (true) {
    ssize_t n = ::read(fd, buf, size);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

void wipe(std::string& text) {
  OPENSSL_cleanse(text.data(), text.size());
  text.clear();
}

std::optional<std::string> readHiddenLine(int fd) {
  struct termios old {};
  bool haveTerminal = ::tcgetattr(fd, &old) == 0;
  struct sigaction oldInt {
  }, oldTerm{}, oldQuit{};
  if (haveTerminal) {
    gSavedTerminal = old;
    gSavedTerminalFd = fd;
    struct sigaction sa {};
    sa.sa_handler = restoreTerminalAndExit;
    ::sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &oldInt);
    ::sigaction(SIGTERM, &sa, &oldTerm);
    ::sigaction(SIGQUIT, &sa, &oldQuit);
    struct termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  auto line = readLineFrom(fd);
  if (haveTerminal) {
    ::tcsetattr(fd, TCSAFLUSH, &old);
    gSavedTerminalFd = -1;
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    ::sigaction(SIGQUIT, &oldQuit, nullptr);
  }
  return line;
}

std::optional<std::string> readLine(int fd) {
  return readLineFrom(fd);
}

namespace {
bool gHardened = false;
}

void hardenProcess() {
  struct rlimit none {};
  ::setrlimit(RLIMIT_CORE, &none);
  gHardened = ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

IdentifiableToServer::IdentifiableToServer() {
  if (gHardened) ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
}

IdentifiableToServer::~IdentifiableToServer() {
  if (gHardened) ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

std::optional<PathFacts> pathFacts(const std::string& path, int& err) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    err = errno;
    return std::nullopt;
  }
  PathFacts facts;
  facts.isDirectory = S_ISDIR(st.st_mode);
  facts.isSymlink = S_ISLNK(st.st_mode);
  facts.uid = static_cast<unsigned>(st.st_uid);
  facts.mode = static_cast<unsigned>(st.st_mode & 07777);
  return facts;
}

int connectUnixSocket(const std::string& path, int& err) {
  struct sockaddr_un addr {};
  if (path.size() >= sizeof addr.sun_path) {
    err = ENAMETOOLONG;
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    err = errno;
    return -1;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  while (::connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno == EINTR) continue;
    err = errno;
    ::close(fd);
    return -1;
  }
  // A server that quit mid-reply must not kill us with SIGPIPE on a later write.
  ::signal(SIGPIPE, SIG_IGN);
  return fd;
}

std::optional<unsigned> peerUid(int fd, int& err) {
  struct ucred cred {};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    err = errno;
    return std::nullopt;
  }
  if (len != sizeof cred) {
    err = EPROTO;
    return std::nullopt;
  }
  return static_cast<unsigned>(cred.uid);
}

std::optional<std::string> ownExecutable() {
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

std::optional<int> peerPid(int fd) {
  struct ucred cred {};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred || cred.pid <= 0)
    return std::nullopt;
  return static_cast<int>(cred.pid);
}

void shutdownWrite(int fd) {
  ::shutdown(fd, SHUT_WR);
}

void setReceiveTimeout(int fd, int seconds) {
  struct timeval tv {};
  tv.tv_sec = seconds;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

void closeFd(int fd) {
  if (fd >= 0) ::close(fd);
}

std::string errnoText(int err) {
  return std::strerror(err);
}

bool ensurePrivateDir(const std::string& path, std::string& error) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = path + " is not a directory of this user";
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
  // Exactly 0700 whatever the umask: wider lets others in, narrower locks us out.
  if (ok && (st.st_mode & 0777) != 0700) ok = ::fchmod(fd, 0700) == 0;
  ::close(fd);
  if (!ok) error = path + " is not a private directory of this user";
  return ok;
}

std::optional<std::string> writeUniqueFile(const std::string& pathTemplate, int suffixLength,
                                           const std::function<std::string(const std::string&)>& content,
                                           std::string& error) {
  std::string path = pathTemplate;
  int fd = ::mkostemps(path.data(), suffixLength, O_CLOEXEC);
  if (fd < 0) {
    error = "cannot create a file in " + pathTemplate.substr(0, pathTemplate.rfind('/')) + ": " +
            std::strerror(errno);
    return std::nullopt;
  }
  std::string data = content(path);
  bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, data);
  wipe(data);
  ok = (::close(fd) == 0) && ok;
  if (!ok) {
    error = "cannot write " + path;
    ::unlink(path.c_str());
    return std::nullopt;
  }
  return path;
}

bool writeFileAtomic(const std::string& path, std::string_view data, unsigned mode, std::string& error) {
  std::string tmp = path + ".tmp-XXXXXX";
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0 && writeAll(fd, data) && ::fsync(fd) == 0;
  int err = errno;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    error = "cannot write " + path + ": " + std::strerror(err);
  }
  return ok;
}

std::optional<std::string> readFile(const std::string& path, size_t limit, std::string& error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  auto text = readAll(fd, limit);
  ::close(fd);
  if (!text) error = "cannot read " + path;
  return text;
}

bool isDirectoryPath(const std::string& path, int& err) {
  struct stat st {};
  err = 0;
  if (::stat(path.c_str(), &st) != 0) {
    err = errno;
    return false;
  }
  return S_ISDIR(st.st_mode);
}

bool pathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return path;
  std::string out = cwd;
  std::free(cwd);
  if (out.back() != '/') out += '/';
  return out + path;
}

std::string resolvedPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string out = real;
  std::free(real);
  return out;
}

std::optional<unsigned> fileMode(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<unsigned>(st.st_mode & 07777);
}

bool makeDirs(const std::string& path, unsigned mode) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void removeFile(const std::string& path) {
  ::unlink(path.c_str());
}

std::vector<DirEntry> listDirectory(const std::string& path) {
  std::vector<DirEntry> entries;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return entries;
  while (struct dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::lstat((path + "/" + name).c_str(), &st) != 0) continue;
    entries.push_back({name, S_ISDIR(st.st_mode), S_ISREG(st.st_mode)});
  }
  ::closedir(dir);
  return entries;
}

std::optional<std::string> findExecutable(std::string_view name) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string_view::npos) {
    std::string p(name);
    if (::access(p.c_str(), X_OK) == 0) return p;
    return std::nullopt;
  }
  const auto path = envVar("PATH");
  return findOnPath(name, path ? std::string_view(*path) : kDefaultSearchPath,
                    [](const std::string& candidate) {
                      struct stat st {};
                      return ::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                             ::access(candidate.c_str(), X_OK) == 0;
                    });
}

std::optional<ProcessResult> runProcess(const std::vector<std::string>& argv, std::string_view input,
                                        bool captureOutput) {
  if (argv.empty()) return std::nullopt;
  auto program = findExecutable(argv[0]);
  if (!program) return std::nullopt;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  int in[2], out[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) != 0) return std::nullopt;
  if (captureOutput && ::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return std::nullopt;
  }
  int devNull = openDevNull(O_RDWR);
  ::signal(SIGPIPE, SIG_IGN);
  pid_t pid = ::fork();
  if (pid == 0) {
    redirectStdio(in[0], captureOutput ? out[1] : devNull, devNull);
    ::signal(SIGPIPE, SIG_DFL);
    ::execv(program->c_str(), args.data());
    ::_exit(127);
  }
  ::close(in[0]);
  if (captureOutput) ::close(out[1]);
  closeFd(devNull);
  if (pid < 0) {
    ::close(in[1]);
    if (captureOutput) ::close(out[0]);
    return std::nullopt;
  }
  writeAll(in[1], input);
  ::close(in[1]);
  ProcessResult result;
  if (captureOutput) {
    auto text = readAll(out[0], 64 * 1024 * 1024);
    ::close(out[0]);
    if (text) result.output = std::move(*text);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

DetachedTask::DetachedTask(const std::function<void(const std::string& message)>& work) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return;
  }
  if (pid == 0) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(0);
    ::close(fds[1]);
    int devNull = ::open("/dev/null", O_RDWR);
    redirectStdio(fds[0], devNull, devNull);
    closeFrom(3);
    ::signal(SIGHUP, SIG_IGN);
    std::string message;
    char buf[512];
    while (message.size() <= kMaxMessageBytes) {
      ssize_t n = ::read(0, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      message.append(buf, static_cast<size_t>(n));
    }
    // Programs the work starts must not hold the pipe open as their input.
    int quiet = ::open("/dev/null", O_RDONLY);
    if (quiet >= 0 && quiet != 0) {
      ::dup2(quiet, 0);
      ::close(quiet);
    }
    if (!message.empty() && message.size() <= kMaxMessageBytes) work(message);
    ::_exit(0);
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  fd_ = fds[1];
}

DetachedTask::~DetachedTask() {
  closeFd(fd_);
}

DetachedTask::DetachedTask(DetachedTask&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

DetachedTask& DetachedTask::operator=(DetachedTask&& other) noexcept {
  if (this != &other) {
    closeFd(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

bool DetachedTask::start(std::string_view message) {
  if (fd_ < 0 || message.empty() || message.size() > kMaxMessageBytes) return false;
  // A child that already ended must not take us down with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  bool sent = writeAll(fd_, message);
  ::close(fd_);
  fd_ = -1;
  return sent;
}

void sleepSeconds(int seconds) {
  struct timespec ts {};
  ts.tv_sec = seconds;
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string_view entry(*e);
    std::string_view name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& o : overrides) {
      if (std::string_view(o).substr(0, o.find('=')) == name) replaced = true;
    }
    if (!replaced) env.emplace_back(entry);
  }
  for (const auto& o : overrides) env.push_back(o);
  return env;
}

namespace {

// The signals a person or a service manager uses to stop `run`: they go on to the command, so
// that no command outlives us with secrets in its environment, and we wait to report its end.
constexpr int kForwardedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction gPreviousActions[std::size(kForwardedSignals)];
volatile sig_atomic_t gChildPid = 0;

void forwardToChild(int sig, siginfo_t* info, void*) {
  const int savedErrno = errno;
  const pid_t pid = gChildPid;
  if (pid > 0) {
    const pid_t group = ::getpgid(pid);
    // The terminal sends its interrupt, quit and hang-up to the whole foreground group: a child
    // still in our group has had it already, and a second one could stop its own clean-up.
    const bool terminalReachedIt = info != nullptr && info->si_code == SI_KERNEL && group == ::getpgrp();
    if (!terminalReachedIt) ::kill(group == pid ? -pid : pid, sig);
  }
  errno = savedErrno;
}

sigset_t forwardedSet() {
  sigset_t set;
  ::sigemptyset(&set);
  for (int sig : kForwardedSignals) ::sigaddset(&set, sig);
  return set;
}

}  // namespace

std::optional<Child> startChild(const std::string& program, const std::vector<std::string>& argv,
                                const std::vector<std::string>& environment, bool pipeOutput,
                                std::string& error) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipeOutput && (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)) {
    error = std::string("cannot create pipes: ") + std::strerror(errno);
    for (int fd : {out[0], out[1], err[0], err[1]}) closeFd(fd);
    return std::nullopt;
  }
  // Held from the fork until the forwarding is in place, so that a stop signal arriving in
  // between reaches the command instead of leaving it behind.
  const sigset_t forwarded = forwardedSet();
  sigset_t previousMask;
  ::sigprocmask(SIG_BLOCK, &forwarded, &previousMask);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
    if (pipeOutput) redirectStdio(-1, out[1], err[1]);
    // We ignore SIGPIPE for our own socket writes; an ignored signal survives exec, and a
    // command in a pipeline expects to be stopped by it.
    ::signal(SIGPIPE, SIG_DFL);
    ::execve(program.c_str(), args.data(), env.data());
    const char msg[] = "caskel: cannot start the command\n";
    ssize_t ignored = ::write(2, msg, sizeof msg - 1);
    (void)ignored;
    ::_exit(127);
  }
  const int forkErrno = errno;
  closeFd(out[1]);
  closeFd(err[1]);
  if (pid < 0) {
    ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
    error = std::string("cannot start the command: ") + std::strerror(forkErrno);
    closeFd(out[0]);
    closeFd(err[0]);
    return std::nullopt;
  }
  gChildPid = pid;
  struct sigaction forward {};
  forward.sa_sigaction = forwardToChild;
  forward.sa_flags = SA_SIGINFO | SA_RESTART;
  ::sigfillset(&forward.sa_mask);
  for (size_t i = 0; i < std::size(kForwardedSignals); ++i) {
    ::sigaction(kForwardedSignals[i], &forward, &gPreviousActions[i]);
  }
  ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);
  return Child{pid, out[0], err[0]};
}

void pumpChildOutput(const Child& child, const std::function<void(int, std::string_view)>& sink) {
  struct pollfd fds[2] = {{child.outFd, POLLIN, 0}, {child.errFd, POLLIN, 0}};
  int open = (child.outFd >= 0) + (child.errFd >= 0);
  if (child.outFd < 0) fds[0].fd = -1;
  if (child.errFd < 0) fds[1].fd = -1;
  char buf[16384];
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      sink(i + 1, std::string_view(buf, static_cast<size_t>(n)));
    }
  }
  OPENSSL_cleanse(buf, sizeof buf);
}

int waitChild(const Child& child) {
  int status = 0;
  pid_t waited;
  while ((waited = ::waitpid(child.pid, &status, 0)) < 0 && errno == EINTR) {
  }
  // Reaped: the pid may be reused from now on, so nothing more is sent to it.
  gChildPid = 0;
  for (size_t i = 0; i < std::size(kForwardedSignals); ++i) {
    ::sigaction(kForwardedSignals[i], &gPreviousActions[i], nullptr);
  }
  if (waited < 0) return 1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

int inheritableMemoryFile(std::string_view data, std::string& error) {
  int fd = ::memfd_create("caskel-sandbox", 0);
  if (fd < 0 || !writeAll(fd, data) || ::lseek(fd, 0, SEEK_SET) != 0) {
    error = std::string("cannot prepare the sandbox's filter: ") + std::strerror(errno);
    closeFd(fd);
    return -1;
  }
  return fd;
}

int64_t nowSeconds() {
  return static_cast<int64_t>(::time(nullptr));
}

std::optional<int64_t> localMidnight(int year, int month, int day) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_isdst = -1;
  time_t when = ::mktime(&t);
  if (when == static_cast<time_t>(-1)) return std::nullopt;
  // mktime normalises 2026-02-31 into March: such a date is impossible, not a later one.
  if (t.tm_year != year - 1900 || t.tm_mon != month - 1 || t.tm_mday != day) return std::nullopt;
  return static_cast<int64_t>(when);
}

}  // namespace caskel::cli
