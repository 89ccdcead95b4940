#include "platform/unix_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace caskel::sock {

namespace {

OsError lastError() {
  int code = errno;
  return OsError{code, std::strerror(code)};
}

bool fillAddress(const std::string& path, sockaddr_un& addr) {
  if (path.empty() || path.size() > kMaxPathBytes) return false;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return true;
}

}  // namespace

ListenResult listenAt(const std::string& path, int backlog) {
  ListenResult result;
  sockaddr_un addr{};
  if (!fillAddress(path, addr)) {
    result.failedAt = ListenResult::Step::pathTooLong;
    return result;
  }
  // Blocking: accepting threads sleep in accept(), where the kernel wakes one per connection.
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    result.failedAt = ListenResult::Step::socket;
    result.error = lastError();
    return result;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    result.failedAt = ListenResult::Step::bind;
    result.error = lastError();
    ::close(fd);
    return result;
  }
  ::chmod(path.c_str(), 0600);
  if (::listen(fd, backlog) != 0) {
    result.failedAt = ListenResult::Step::listen;
    result.error = lastError();
    ::close(fd);
    return result;
  }
  result.fd = fd;
  return result;
}

int connectTo(const std::string& path) {
  sockaddr_un addr{};
  if (!fillAddress(path, addr)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

bool isLive(const std::string& path) {
  int fd = connectTo(path);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

int acceptConnection(int listenFd) {
  for (;;) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    // A peer that gave up before being accepted is not an error of ours.
    if (fd >= 0 || (errno != EINTR && errno != ECONNABORTED)) return fd;
  }
}

void interruptAccept(int listenFd) {
  // On Linux, shutting down a listening socket fails every pending and later accept() on it.
  ::shutdown(listenFd, SHUT_RDWR);
}

bool peerCredentials(int fd, uint32_t& uid, int32_t& pid) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return false;
  uid = cred.uid;
  pid = cred.pid;
  return true;
}

int peerPidfd(int fd) {
#ifndef SO_PEERPIDFD
  constexpr int SO_PEERPIDFD = 77;  // Linux 6.5; the C library's headers may predate it
#endif
  int pidfd = -1;
  socklen_t len = sizeof pidfd;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &len) == 0 && len == sizeof pidfd && pidfd >= 0) {
    return pidfd;
  }
  return errno == ESRCH ? kPeerGone : kNoPidfd;
}

ssize_t readAvailable(int fd, char* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
    return -2;
  }
}

bool sendAll(int fd, std::string_view data, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, static_cast<int>(left.count()));
      continue;
    }
    return false;
  }
  return true;
}

void closeFd(int fd) {
  if (fd >= 0) ::close(fd);
}

void shutdownWrite(int fd) { ::shutdown(fd, SHUT_WR); }

mode_t setUmask(mode_t mask) { return ::umask(mask); }

bool prepareSocketDirectory(const std::string& dir) {
  ::mkdir(dir.c_str(), 0700);
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 0777) == 0700;
}

PathKind pathKind(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return PathKind::none;
  return S_ISSOCK(st.st_mode) ? PathKind::socket : PathKind::other;
}

void unlinkPath(const std::string& path) { ::unlink(path.c_str()); }

void removeDirectory(const std::string& dir) { ::rmdir(dir.c_str()); }

bool setNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

uint32_t currentUid() { return ::getuid(); }

}  // namespace caskel::sock
