#include "platform/network_namespace.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>

#include "base/display_name.h"
#include "platform/process_hardening.h"
#include "platform/process_info.h"

namespace caskel {

namespace {

constexpr size_t kMaxMessage = 64 * 1024;

// The connection to the helper outside; set once, before any thread exists.
int outsideFd = -1;
std::mutex& outsideMutex() {
  static std::mutex m;
  return m;
}

std::string errnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

bool writeProcFile(const char* path, const std::string& text) {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

void closeAllBut(int keep) {
  if (keep > 3) ::syscall(SYS_close_range, 3U, static_cast<unsigned>(keep - 1), 0U);
  ::syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0U, 0U);
  int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    // The helper must not hold the program's output open after the program ends.
    for (int fd = 0; fd <= 2; ++fd) ::dup2(null, fd);
    if (null > 2 && null != keep) ::close(null);
  }
}

std::string answer(const char* request, size_t size) {
  if (size < 5) return std::string(1, '\0');
  int32_t pid = 0;
  std::memcpy(&pid, request + 1, sizeof pid);
  ProcessInfo& proc = ProcessInfo::system();
  std::optional<std::string> result;
  switch (static_cast<OutsideRead>(request[0])) {
    case OutsideRead::executable:
      result = proc.executablePath(pid);
      break;
    case OutsideRead::directory:
      result = proc.currentDirectory(pid);
      break;
    case OutsideRead::environment: {
      std::vector<std::string> names;
      std::string_view rest(request + 5, size - 5);
      while (!rest.empty()) {
        size_t end = rest.find('\0');
        names.emplace_back(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      }
      std::string joined;
      for (const std::string& name : proc.environmentMarkers(pid, names)) joined += name + '\0';
      result = joined;
      break;
    }
  }
  if (!result) return std::string(1, '\0');
  return '\1' + *result;
}

constexpr char kSpawn = 4;

// One message, and the descriptor that came with it (-1 when none; more are closed).
ssize_t receive(int fd, char* buffer, size_t size, int& passed) {
  passed = -1;
  iovec io{buffer, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
  msghdr msg{};
  msg.msg_iov = &io;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n = ::recvmsg(fd, &msg, MSG_TRUNC | MSG_CMSG_CLOEXEC);
  if (n < 0) return n;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int received;
      std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
      if (passed < 0) {
        passed = received;
      } else {
        ::close(received);
      }
    }
  }
  return (msg.msg_flags & MSG_TRUNC) ? static_cast<ssize_t>(size) + 1 : n;
}

// Sends `data`, with `fd` attached when it is not -1.
ssize_t transmit(int socket, const std::string& data, int fd) {
  iovec io{const_cast<char*>(data.data()), data.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &io;
  msg.msg_iovlen = 1;
  if (fd >= 0) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  }
  ssize_t n;
  do {
    n = ::sendmsg(socket, &msg, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n;
}

// Starts `program` with `stdio` as its standard input and output; the reply carries a pidfd.
std::string spawnProgram(const std::string& program, int stdio, int& pidfd) {
  if (stdio < 0 || program.empty() || program.find('\0') != std::string::npos) return std::string(1, '\0') + "EINVAL";
  const pid_t child = ::fork();
  if (child < 0) return std::string(1, '\0') + std::strerror(errno);
  if (child == 0) {
    ::dup2(stdio, 0);
    ::dup2(stdio, 1);
    int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, 2);
    ::syscall(SYS_close_range, 3U, ~0U, 0U);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD, SIGQUIT}) ::signal(sig, SIG_DFL);
    std::string arg0 = program;
    char* argv[] = {arg0.data(), nullptr};
    ::execv(program.c_str(), argv);
    ::_exit(127);
  }
  pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  if (pidfd < 0) return std::string(1, '\0') + std::strerror(errno);
  return std::string(1, '\1');
}

// The helper's whole life: answers the program's questions until the program goes away.
[[noreturn]] void serveOutside(int fd, pid_t parent) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(0);
  // It outlives no program: it ends with it (above), not on a stop signal sent to the group.
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(sig, SIG_IGN);
  // Named apart from the program, so that `pgrep -x` finds the program and not its helper.
  ::prctl(PR_SET_NAME, "caskel-procread");
  closeAllBut(fd);
  // It may read other processes' /proc entries, but needs no network either.
  if (!hardenProcess().empty()) ::_exit(1);
  // Programs it starts are reaped by the kernel; the program watches them through pidfds.
  ::signal(SIGCHLD, SIG_IGN);
  static char request[kMaxMessage];
  for (;;) {
    int passed = -1;
    ssize_t n = receive(fd, request, sizeof request, passed);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ::_exit(0);
    std::string reply;
    int pidfd = -1;
    if (static_cast<size_t>(n) > sizeof request) {
      reply = std::string(1, '\0');
    } else if (n > 0 && request[0] == kSpawn) {
      reply = spawnProgram(std::string(request + 1, static_cast<size_t>(n) - 1), passed, pidfd);
    } else {
      reply = answer(request, static_cast<size_t>(n));
    }
    if (passed >= 0) ::close(passed);
    if (reply.size() > kMaxMessage) reply = std::string(1, '\0');
    if (transmit(fd, reply, pidfd) < 0) ::_exit(0);
    if (pidfd >= 0) ::close(pidfd);
  }
}

// Gives up every capability that entering the namespace granted: the program needs none, and
// a program it starts as root there would otherwise get them back at exec.
bool dropCapabilities() {
  for (int cap = 0; cap <= 63; ++cap) {
    if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL) return false;
  }
  ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  return ::syscall(SYS_capset, &header, data) == 0;
}

bool hasCapability(int cap) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[cap / 32].effective & (1U << (cap % 32))) != 0;
}

// Enters the namespaces and maps the user to itself; "" or what failed.
std::string unshareAndMap(uid_t uid, gid_t gid) {
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return errnoText("unshare");
  if (!writeProcFile("/proc/self/setgroups", "deny") ||
      !writeProcFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n") ||
      !writeProcFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n"))
    return errnoText("cannot map the user into its namespace");
  if (!dropCapabilities()) return errnoText("cannot drop capabilities in its namespace");
  return {};
}

std::string probe(uid_t uid, gid_t gid) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return errnoText("pipe");
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return errnoText("fork");
  }
  if (child == 0) {
    std::string failed = unshareAndMap(uid, gid);
    if (!failed.empty() && ::write(report[1], failed.data(), failed.size()) < 0) ::_exit(1);
    ::_exit(0);
  }
  ::close(report[1]);
  std::string failed;
  char buf[512];
  for (ssize_t n; (n = ::read(report[0], buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    failed.append(buf, static_cast<size_t>(n));
  }
  ::close(report[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (failed.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) failed = "the trial in a child failed";
  return failed;
}

bool say(const std::string& reason) {
  std::cout << "Caskel: no network namespace of its own (" << reason
            << "); the network is closed by the seccomp filter alone" << std::endl;
  return false;
}

// The X server's socket file for a local display such as ":0", "unix:0.0" or "/path:0"; ""
// for a display that names no number.
std::string x11SocketFile(std::string_view display) {
  auto colon = display.find_last_of(':');
  if (colon == std::string_view::npos) return {};
  std::string_view host = display.substr(0, colon);
  if (!host.empty() && host.front() == '/') return std::string(host);
  std::string_view number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos) return {};
  return "/tmp/.X11-unix/X" + std::string(number);
}

// Whether this process already sees no network device but loopback (a service manager may have
// given it a network namespace of its own).
bool onlyLoopback() {
  int fd = ::open("/proc/self/net/dev", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buf[4096];
  for (ssize_t n; text.size() < 1024 * 1024 && (n = ::read(fd, buf, sizeof buf)) > 0;)
    text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  size_t devices = 0;
  bool loopback = false;
  std::string_view rest(text);
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || line.find('|') != std::string_view::npos) continue;
    ++devices;
    std::string_view name = line.substr(0, colon);
    loopback = loopback || name.substr(name.find_first_not_of(' ')) == "lo";
  }
  return devices == 1 && loopback;
}

}  // namespace

std::string sessionObstacle(std::string_view display, std::string_view busAddress,
                            const std::function<bool(const std::string&)>& fileExists) {
  if (!display.empty()) {
    if (displayReachedOverNetwork(display)) return "the display is reached over the network";
    const std::string socket = x11SocketFile(display);
    if (socket.empty() || !fileExists(socket)) return "the X display has no socket file";
  }
  if (!busAddress.empty()) {
    // A list of addresses is tried in order; one reachable through the file system suffices.
    bool reachable = false;
    std::string_view rest = busAddress;
    while (!rest.empty() && !reachable) {
      size_t end = rest.find(';');
      std::string_view entry = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      reachable = entry.starts_with("unix:path=") || entry.starts_with("unix:dir=") ||
                  entry.starts_with("unix:runtime=");
    }
    if (!reachable) return "the session bus is reached at an abstract or network address";
  }
  return {};
}

std::string environmentObstacle() {
  const char* display = std::getenv("DISPLAY");
  const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  std::string_view shown = display ? display : "";
  if (displayReachedOverNetwork(shown)) shown = {};
  return sessionObstacle(shown, bus ? bus : "",
                         [](const std::string& path) { return ::access(path.c_str(), F_OK) == 0; });
}

bool enterNetworkNamespace(const std::string& obstacle) {
  if (const char* off = std::getenv(kNoNamespaceVariable); off && std::string_view(off) == "1")
    return say(std::string("turned off by ") + kNoNamespaceVariable);
  if (!obstacle.empty()) return say(obstacle);
  if (onlyLoopback()) return true;  // nothing left to take away
  for (const char* file : {"/proc/self/setgroups", "/proc/self/uid_map", "/proc/self/gid_map"}) {
    if (::access(file, F_OK) != 0) return say(std::string(file) + " is missing");
  }
  // A privileged process needs no user namespace for this, and keeps its view of /proc.
  if (hasCapability(CAP_SYS_ADMIN)) {
    if (::unshare(CLONE_NEWNET) != 0) return say(errnoText("unshare"));
    return true;
  }
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  // The kernel maps root into a user namespace only for a process that could set file
  // capabilities; finding out after unsharing would leave it without a user.
  if (::geteuid() == 0 && !hasCapability(CAP_SETFCAP))
    return say("root without CAP_SETFCAP cannot be mapped into a user namespace");

  // Tried first in a throwaway child: where the kernel lets a process unshare but not map its
  // user (a security module may), the program must learn it before it cannot go back.
  if (std::string failed = probe(uid, gid); !failed.empty()) return say(failed);

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return say(errnoText("socketpair"));
  // Started with a standard stream closed, an end could land on 0-2, which the helper and the
  // programs it starts replace.
  for (int& end : pair) {
    if (end < 3) {
      int moved = ::fcntl(end, F_DUPFD_CLOEXEC, 3);
      ::close(end);
      end = moved;
    }
  }
  if (pair[0] < 0 || pair[1] < 0) return say(errnoText("socketpair"));
  const pid_t parent = ::getpid();
  const pid_t helper = ::fork();
  if (helper < 0) {
    ::close(pair[0]);
    ::close(pair[1]);
    return say(errnoText("fork"));
  }
  if (helper == 0) {
    ::close(pair[0]);
    serveOutside(pair[1], parent);
  }
  ::close(pair[1]);

  if (std::string failed = unshareAndMap(uid, gid); !failed.empty()) {
    if (failed.starts_with("unshare")) {
      ::close(pair[0]);  // the helper sees the end and exits
      ::waitpid(helper, nullptr, 0);
      return say(failed);
    }
    // No way back: a process whose user is not mapped cannot work.
    std::cout << "Caskel: " << failed << std::endl;
    std::exit(1);
  }
  outsideFd = pair[0];
  return true;
}

std::optional<int> spawnOutside(const std::string& program, int stdio, std::string& error) {
  if (outsideFd < 0) return std::nullopt;
  std::string request(1, kSpawn);
  request += program;
  if (request.size() > kMaxMessage) {
    error = "the program's path is too long";
    return -1;
  }
  static char reply[kMaxMessage + 1];
  std::lock_guard lock(outsideMutex());
  int pidfd = -1;
  ssize_t n = -1;
  if (transmit(outsideFd, request, stdio) >= 0) {
    do {
      n = receive(outsideFd, reply, kMaxMessage, pidfd);
    } while (n < 0 && errno == EINTR);
  }
  if (n > 0 && n <= static_cast<ssize_t>(kMaxMessage) && reply[0] == '\1' && pidfd >= 0) return pidfd;
  if (pidfd >= 0) ::close(pidfd);
  error = n > 1 ? std::string(reply + 1, static_cast<size_t>(n) - 1) : std::string("the helper did not answer");
  return -1;
}

std::optional<std::optional<std::string>> readOutside(OutsideRead what, int32_t pid,
                                                      const std::vector<std::string>& names) {
  if (outsideFd < 0) return std::nullopt;
  std::string request(1, static_cast<char>(what));
  request.append(reinterpret_cast<const char*>(&pid), sizeof pid);
  for (const std::string& name : names) request += name + '\0';
  if (request.size() > kMaxMessage) return std::optional<std::string>();

  static char reply[kMaxMessage + 1];
  std::lock_guard lock(outsideMutex());
  if (::send(outsideFd, request.data(), request.size(), MSG_NOSIGNAL) < 0)
    return std::optional<std::string>();
  ssize_t n;
  do {
    n = ::recv(outsideFd, reply, sizeof reply, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0 || reply[0] != '\1') return std::optional<std::string>();
  return std::optional<std::string>(std::string(reply + 1, static_cast<size_t>(n) - 1));
}

}  // namespace caskel
