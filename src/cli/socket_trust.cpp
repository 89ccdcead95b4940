#include "cli/socket_trust.h"

#include <cerrno>

namespace caskel::cli {

namespace {

class RealSocketSystem final : public SocketSystem {
 public:
  unsigned uid() override { return currentUid(); }
  std::optional<PathFacts> inspect(const std::string& path, int& err) override {
    return pathFacts(path, err);
  }
  int connect(const std::string& path, int& err) override { return connectUnixSocket(path, err); }
  std::optional<unsigned> peerUid(int fd, int& err) override { return cli::peerUid(fd, err); }
  void close(int fd) override { closeFd(fd); }
};

std::string octal(unsigned mode) {
  std::string out;
  for (int shift = 9; shift >= 0; shift -= 3) out += static_cast<char>('0' + ((mode >> shift) & 7));
  return out;
}

constexpr const char* kNothingSent = " Nothing was sent.";

Connection failed(TransportFailure failure, std::string detail) {
  Connection c;
  c.failure = failure;
  c.detail = std::move(detail);
  return c;
}

Connection notRunning(const std::string& socketPath) {
  return failed(TransportFailure::kNotRunning,
                "Caskel is not running (no server at " + socketPath + ") — start it with `caskeld`.");
}

}  // namespace

SocketSystem& SocketSystem::real() {
  static RealSocketSystem system;
  return system;
}

std::string socketDirectory(const std::string& socketPath) {
  size_t slash = socketPath.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return socketPath.substr(0, slash);
}

std::optional<std::string> directoryProblem(const std::string& dir, const PathFacts& facts, unsigned uid) {
  const std::string head = "Error: the socket directory " + dir;
  if (facts.isSymlink) return head + " is a symbolic link; Caskel uses only a real directory of yours.";
  if (!facts.isDirectory) return head + " is not a directory.";
  if (facts.uid != uid) {
    return head + " belongs to uid " + std::to_string(facts.uid) + ", not to you (uid " +
           std::to_string(uid) + ") — another user may have made it.";
  }
  // Group and other bits would let others reach (or replace) the socket; without our own
  // bits the server could not have made it.
  if ((facts.mode & 0777) != 0700) {
    return head + " has mode " + octal(facts.mode & 07777) +
           "; it must be 0700, so that only you can reach it.";
  }
  return std::nullopt;
}

Connection connectToOwnServer(const std::string& socketPath, SocketSystem& system) {
  const unsigned uid = system.uid();
  const std::string dir = socketDirectory(socketPath);
  int err = 0;
  auto facts = system.inspect(dir, err);
  if (!facts) {
    if (err == ENOENT || err == ENOTDIR) return notRunning(socketPath);
    return failed(TransportFailure::kUntrusted, "Error: cannot check the socket directory " + dir + ": " +
                                                    errnoText(err) + "." + kNothingSent);
  }
  if (auto problem = directoryProblem(dir, *facts, uid)) {
    return failed(TransportFailure::kUntrusted, *problem + kNothingSent);
  }
  int fd = system.connect(socketPath, err);
  if (fd < 0) {
    if (err == ENOENT || err == ECONNREFUSED) return notRunning(socketPath);
    return failed(TransportFailure::kConnect,
                  "Cannot reach the Caskel server at " + socketPath + ": " + errnoText(err));
  }
  auto peer = system.peerUid(fd, err);
  if (!peer || *peer != uid) {
    system.close(fd);
    return failed(TransportFailure::kUntrusted,
                  peer ? "Error: the server at " + socketPath + " runs as uid " + std::to_string(*peer) +
                             ", not as you (uid " + std::to_string(uid) + ")." + kNothingSent
                       : "Error: cannot tell which user runs the server at " + socketPath + " (" +
                             errnoText(err) + ")." + kNothingSent);
  }
  Connection c;
  c.fd = fd;
  return c;
}

}  // namespace caskel::cli
