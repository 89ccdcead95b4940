#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace caskel::sock {

// Enough for a burst of many clients at once; the kernel caps it at somaxconn.
inline constexpr int kMaxBacklog = 4096;

// Longest path that fits in sockaddr_un.sun_path with its terminating zero.
inline constexpr size_t kMaxPathBytes = 107;

struct OsError {
  int code = 0;
  std::string text;  // strerror(code)
};

// A listening AF_UNIX stream socket bound at `path` (blocking, close-on-exec). The caller
// narrows the umask around it; the file's mode is set to 0600 explicitly afterwards.
struct ListenResult {
  int fd = -1;
  enum class Step { ok, socket, bind, listen, pathTooLong } failedAt = Step::ok;
  OsError error;
};
ListenResult listenAt(const std::string& path, int backlog);

// Connects to the socket at `path`; -1 on failure (errno kept).
int connectTo(const std::string& path);
// True when a server accepts connections at `path` right now.
bool isLive(const std::string& path);

// Waits for the next connection; the accepted socket is non-blocking and close-on-exec.
// -1 on error, and once interruptAccept() was called.
int acceptConnection(int listenFd);
// Makes every thread waiting in acceptConnection() on `listenFd` return, now and later.
void interruptAccept(int listenFd);
// Peer user and process of a connected socket (SO_PEERCRED).
bool peerCredentials(int fd, uint32_t& uid, int32_t& pid);
// A pidfd of the process that connected (SO_PEERPIDFD, close-on-exec): the descriptor, or
// kPeerGone when that process has already exited, or kNoPidfd where the kernel offers none.
inline constexpr int kNoPidfd = -1;
inline constexpr int kPeerGone = -2;
int peerPidfd(int fd);

// Reads what is available without blocking: bytes read, 0 at end of stream, -1 when nothing is
// available now (EAGAIN), -2 on error.
ssize_t readAvailable(int fd, char* buffer, size_t size);
// Writes every byte, blocking up to `timeoutSeconds` in total; never raises SIGPIPE.
bool sendAll(int fd, std::string_view data, double timeoutSeconds);
void closeFd(int fd);
void shutdownWrite(int fd);
// Makes accept() and reads on `fd` return at once instead of waiting.
bool setNonBlocking(int fd);

mode_t setUmask(mode_t mask);

// Creates the socket directory (0700, result ignored: it may exist), then accepts it only when
// it is a directory owned by this user with exactly mode 0700. Never repairs or removes it.
bool prepareSocketDirectory(const std::string& dir);
// What sits at a path: nothing, a socket, or something else.
enum class PathKind { none, socket, other };
PathKind pathKind(const std::string& path);
void unlinkPath(const std::string& path);
// rmdir: fails silently when the directory still holds files.
void removeDirectory(const std::string& dir);
uint32_t currentUid();

}  // namespace caskel::sock
