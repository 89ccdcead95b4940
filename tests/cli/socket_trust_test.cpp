#include "cli/socket_trust.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fake_server.h"

namespace caskel::cli {
namespace {

using test::FakeServer;
using test::runTool;
using test::ScopedEnv;
using test::TempDir;

constexpr unsigned kMe = 1000;

// Records every call; the directory, connection and peer are whatever the test sets.
class FakeSockets final : public SocketSystem {
 public:
  std::optional<PathFacts> dir = PathFacts{true, false, kMe, 0700};
  int inspectError = 0;
  int connectError = 0;
  std::optional<unsigned> peer = kMe;
  std::vector<std::string> calls;

  unsigned uid() override { return kMe; }
  std::optional<PathFacts> inspect(const std::string& path, int& err) override {
    calls.push_back("inspect " + path);
    err = inspectError;
    return inspectError != 0 ? std::nullopt : dir;
  }
  int connect(const std::string& path, int& err) override {
    calls.push_back("connect " + path);
    err = connectError;
    return connectError != 0 ? -1 : 7;
  }
  std::optional<unsigned> peerUid(int fd, int& err) override {
    calls.push_back("peer " + std::to_string(fd));
    err = EINVAL;
    return peer;
  }
  void close(int fd) override { calls.push_back("close " + std::to_string(fd)); }
};

TEST(SocketTrust, AnUntrustedDirectoryIsRefusedBeforeConnecting) {
  struct Case {
    PathFacts facts;
    std::string says;
  };
  for (const auto& c :
       std::vector<Case>{{{false, true, kMe, 0777}, "/run/k is a symbolic link"},
                         {{false, false, kMe, 0600}, "/run/k is not a directory"},
                         {{true, false, 65534, 0700}, "belongs to uid 65534, not to you (uid 1000)"},
                         {{true, false, kMe, 0755}, "has mode 0755; it must be 0700"},
                         {{true, false, kMe, 0710}, "has mode 0710"},
                         {{true, false, kMe, 0701}, "has mode 0701"},
                         {{true, false, kMe, 0500}, "has mode 0500"}}) {
    FakeSockets sockets;
    sockets.dir = c.facts;
    Connection conn = connectToOwnServer("/run/k/caskel.sock", sockets);
    EXPECT_EQ(conn.failure, TransportFailure::kUntrusted) << c.says;
    EXPECT_EQ(conn.fd, -1);
    EXPECT_NE(conn.detail.find(c.says), std::string::npos) << conn.detail;
    EXPECT_NE(conn.detail.find("Nothing was sent"), std::string::npos);
    EXPECT_EQ(sockets.calls, std::vector<std::string>{"inspect /run/k"});
  }

  // A missing directory means no server, said the usual way; an unreadable one is refused.
  FakeSockets missing;
  missing.inspectError = ENOENT;
  Connection none = connectToOwnServer("/run/k/caskel.sock", missing);
  EXPECT_EQ(none.failure, TransportFailure::kNotRunning);
  EXPECT_NE(none.detail.find("not running"), std::string::npos);
  FakeSockets hidden;
  hidden.inspectError = EACCES;
  EXPECT_EQ(connectToOwnServer("/run/k/caskel.sock", hidden).failure, TransportFailure::kUntrusted);
  EXPECT_EQ(hidden.calls.size(), 1u);
}

TEST(SocketTrust, TheServerMustRunAsUs) {
  FakeSockets ours;
  Connection ok = connectToOwnServer("/run/k/caskel.sock", ours);
  EXPECT_EQ(ok.failure, TransportFailure::kNone);
  EXPECT_EQ(ok.fd, 7);
  EXPECT_EQ(ours.calls, (std::vector<std::string>{"inspect /run/k", "connect /run/k/caskel.sock", "peer 7"}));

  for (std::optional<unsigned> peer :
       {std::optional<unsigned>(0), std::optional<unsigned>(65534), std::optional<unsigned>()}) {
    FakeSockets sockets;
    sockets.peer = peer;
    Connection conn = connectToOwnServer("/run/k/caskel.sock", sockets);
    EXPECT_EQ(conn.failure, TransportFailure::kUntrusted);
    EXPECT_EQ(conn.fd, -1);
    EXPECT_EQ(sockets.calls.back(), "close 7");
    EXPECT_NE(conn.detail.find(peer ? "runs as uid " + std::to_string(*peer) : "cannot tell which user"),
              std::string::npos)
        << conn.detail;
  }
}

TEST(SocketTrust, TheDirectoryIsTheSocketPathsParent) {
  EXPECT_EQ(socketDirectory("/tmp/caskel-sock-1000/caskel.sock"), "/tmp/caskel-sock-1000");
  EXPECT_EQ(socketDirectory("/caskel.sock"), "/");
  EXPECT_EQ(socketDirectory("caskel.sock"), ".");
}

// The real checks, with the fake server's socket in a directory made wide, or reached
// through a link.
TEST(SocketTrust, TheToolSendsNothingThroughAnUntrustedDirectory) {
  test::TempHome home;
  FakeServer server([](const nlohmann::json&) -> nlohmann::json { return {{"ok", true}, {"value", "x"}}; });
  const std::string dir = socketDirectory(server.socketPath());
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  auto ls = runTool({"ls"});
  EXPECT_EQ(ls.code, 1);
  EXPECT_EQ(ls.err,
            "Error: the socket directory " + dir +
                " has mode 0755; it must be 0700, so that only you can reach it. Nothing was sent.\n");
  // update installs nothing it did not get from our own server.
  EXPECT_EQ(runTool({"update"}).code, 1);
  EXPECT_LT(test::modeOf(home.path() + "/.local/bin/caskel"), 0);

  ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
  TempDir elsewhere;
  const std::string link = elsewhere.file("link");
  ASSERT_EQ(::symlink(dir.c_str(), link.c_str()), 0);
  ScopedEnv viaLink("CASKEL_SOCKET", link + "/caskel.sock");
  auto linked = runTool({"get", "a/b/K", "--raw"});
  EXPECT_EQ(linked.code, 1);
  EXPECT_NE(linked.err.find(link + " is a symbolic link"), std::string::npos) << linked.err;
  EXPECT_EQ(linked.out, "");
  EXPECT_TRUE(server.requests().empty());
}

TEST(SocketTrust, AServerOfAnotherUserGetsNoRequest) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
  TempDir dir;
  const std::string path = dir.file("caskel.sock");
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  pid_t child = ::fork();
  if (child == 0) {
    // The kernel records the listener's user when it starts listening.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::setresuid(65534, 65534, 65534) != 0 || ::listen(fd, 1) != 0) {
      ::_exit(1);
    }
    if (::write(report[1], "L", 1) != 1) ::_exit(1);
    int conn = ::accept(fd, nullptr, nullptr);
    char buf[256];
    long total = 0;
    ssize_t n;
    while (conn >= 0 && (n = ::read(conn, buf, sizeof buf)) > 0) total += n;
    ::_exit(total == 0 ? 0 : 2);
  }
  ::close(report[1]);
  char ready = 0;
  ASSERT_EQ(::read(report[0], &ready, 1), 1) << "the other user's server did not start";
  ::close(report[0]);

  ScopedEnv socket("CASKEL_SOCKET", path);
  auto run = runTool({"set", "a/b/K"}, "the-value\n");
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err,
            "Error: the server at " + path + " runs as uid 65534, not as you (uid 0). Nothing was sent.\n");
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the server read bytes from the tool";
}

}  // namespace
}  // namespace caskel::cli
