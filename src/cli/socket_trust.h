#pragma once

#include <optional>
#include <string>

#include "cli/cli_platform.h"
#include "cli/server_client.h"

namespace caskel::cli {

// The operating-system calls that opening a connection to the server makes. The real one is
// cli_platform; tests pass a fake to see which calls happen, and in what order.
class SocketSystem {
 public:
  virtual ~SocketSystem() = default;
  virtual unsigned uid() = 0;
  virtual std::optional<PathFacts> inspect(const std::string& path, int& err) = 0;  // lstat
  virtual int connect(const std::string& path, int& err) = 0;
  virtual std::optional<unsigned> peerUid(int fd, int& err) = 0;
  virtual void close(int fd) = 0;

  static SocketSystem& real();
};

struct Connection {
  int fd = -1;  // open only when failure is kNone
  TransportFailure failure = TransportFailure::kNone;
  std::string detail;  // for failures: one line for the user
};

// The directory a socket path lives in ("." for a bare name).
std::string socketDirectory(const std::string& socketPath);

// Why `dir` cannot be trusted to hold our server's socket, or nullopt when it can: it must be a
// real directory (not a symbolic link) owned by `uid`, with mode 0700, so that no other user
// can have put a socket there or reach ours.
std::optional<std::string> directoryProblem(const std::string& dir, const PathFacts& facts, unsigned uid);

// A connection to our own user's server: the socket's directory is checked before connecting,
// and the listening process's user right after, so that a request is never written to a
// server another user set up (a planted directory in /tmp, or a socket of theirs).
Connection connectToOwnServer(const std::string& socketPath, SocketSystem& system);

}  // namespace caskel::cli
