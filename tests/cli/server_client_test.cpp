#include "cli/server_client.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "cli/cli_platform.h"
#include "cli/socket_trust.h"
#include "fake_server.h"

namespace caskel::cli {
namespace {

using test::FakeServer;
using test::runTool;

// Reading a reply far beyond one socket buffer is the update test's, through the whole tool.
TEST(ServerClient, BrokenRepliesAreFailuresNotCrashes) {
  for (const std::string raw : {"", "not json", "[1,2]", R"({"ok":true)", "\"just a string\""}) {
    FakeServer server([&](const nlohmann::json&) -> nlohmann::json { return raw; });
    Exchange ex = ServerClient(server.socketPath()).send({{"cmd", "version"}});
    EXPECT_NE(ex.failure, TransportFailure::kNone) << raw;
    EXPECT_FALSE(ex.detail.empty());
    EXPECT_EQ(runTool({"peek", "a/b/K"}).code, 1) << raw;
  }
}

TEST(ToolReplies, RefusalsAndOddRepliesFailWithoutWritingAScript) {
  test::TempDir runtime;
  test::ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.path());
  nlohmann::json reply;
  FakeServer server([&](const nlohmann::json&) { return reply; });

  reply = {{"ok", false}};
  auto refused = runTool({"rm", "a/b/K"});
  EXPECT_EQ(refused.code, 1);
  EXPECT_EQ(refused.err, "Error: the server refused the request\n");

  // Encryption failed on the server: ok true, but no value of any kind to hand out.
  reply = {{"ok", true}, {"value", "__error__"}, {"agent", true}, {"error", "Server-side encryption failed"}};
  auto failed = runTool({"get", "a/b/K"});
  EXPECT_EQ(failed.code, 1);
  EXPECT_EQ(failed.err, "Error: Server-side encryption failed\n");
  EXPECT_EQ(failed.out, "");

  reply = {{"ok", true}, {"value", "__encrypted__"}, {"ct", "AAAA"}, {"k", "zz"}, {"iv", "00"}, {"kn", "K"}};
  EXPECT_EQ(runTool({"get", "a/b/K"}).code, 1);
  EXPECT_TRUE(listDirectory(runtime.path() + "/caskel").empty());
}

TEST(ToolReplies, RunRedactsAMultiLineValueWholeAndEachOfItsLinesForAnAgent) {
  FakeServer server([](const nlohmann::json& r) -> nlohmann::json {
    if (r["cmd"] == "ls") return {{"ok", true}, {"accounts", {{{"account", "acme/2fa/CODES"}}}}};
    return test::agentGetReply("acme/2fa/CODES", "code-1111\ncode-2222\ncode-3333");
  });
  auto run = runTool({"run", "acme/2fa", "--", "sh", "-c",
                      "printf '%s|' \"$CODES\"; printf '%s\\n' \"$CODES\" | sed -n 2p"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, "<redacted:CODES>|<redacted:CODES>\n");
}

constexpr unsigned kMe = 1000;

// Records every call; the directory and the peer are whatever the test sets.
class FakeSockets final : public SocketSystem {
 public:
  std::optional<PathFacts> dir = PathFacts{true, false, kMe, 0700};
  int inspectError = 0;
  std::optional<unsigned> peer = kMe;
  std::vector<std::string> calls;

  unsigned uid() override { return kMe; }
  std::optional<PathFacts> inspect(const std::string& path, int& err) override {
    calls.push_back("inspect " + path);
    err = inspectError;
    return inspectError != 0 ? std::nullopt : dir;
  }
  int connect(const std::string& path, int&) override {
    calls.push_back("connect " + path);
    return 7;
  }
  std::optional<unsigned> peerUid(int fd, int& err) override {
    calls.push_back("peer " + std::to_string(fd));
    err = EINVAL;
    return peer;
  }
  void close(int fd) override { calls.push_back("close " + std::to_string(fd)); }
};

TEST(SocketTrust, AnUntrustedDirectoryIsRefusedBeforeConnecting) {
  for (const auto& [facts, says] : std::vector<std::pair<PathFacts, std::string>>{
           {{false, true, kMe, 0777}, "/run/k is a symbolic link"},
           {{false, false, kMe, 0600}, "/run/k is not a directory"},
           {{true, false, kMe, 0701}, "has mode 0701; it must be 0700"},
           {{true, false, kMe, 0500}, "has mode 0500"}}) {
    FakeSockets sockets;
    sockets.dir = facts;
    Connection conn = connectToOwnServer("/run/k/caskel.sock", sockets);
    EXPECT_EQ(conn.failure, TransportFailure::kUntrusted);
    EXPECT_NE(conn.detail.find(says), std::string::npos) << conn.detail;
    EXPECT_TRUE(conn.detail.ends_with("Nothing was sent."));
    EXPECT_EQ(sockets.calls, std::vector<std::string>{"inspect /run/k"});
  }
  // A missing directory means no server, said the usual way; an unreadable one is refused.
  FakeSockets missing, hidden;
  missing.inspectError = ENOENT;
  hidden.inspectError = EACCES;
  EXPECT_EQ(connectToOwnServer("/run/k/caskel.sock", missing).failure, TransportFailure::kNotRunning);
  EXPECT_EQ(connectToOwnServer("/run/k/caskel.sock", hidden).failure, TransportFailure::kUntrusted);
  EXPECT_EQ(missing.calls.size() + hidden.calls.size(), 2u);
}

TEST(SocketTrust, TheServerMustRunAsUs) {
  FakeSockets ours;
  EXPECT_EQ(connectToOwnServer("/run/k/caskel.sock", ours).fd, 7);
  EXPECT_EQ(ours.calls, (std::vector<std::string>{"inspect /run/k", "connect /run/k/caskel.sock", "peer 7"}));

  for (std::optional<unsigned> peer : {std::optional<unsigned>(0), std::optional<unsigned>()}) {
    FakeSockets sockets;
    sockets.peer = peer;
    Connection conn = connectToOwnServer("/run/k/caskel.sock", sockets);
    EXPECT_EQ(conn.failure, TransportFailure::kUntrusted);
    EXPECT_EQ(conn.fd, -1);
    EXPECT_EQ(sockets.calls.back(), "close 7");
    EXPECT_NE(conn.detail.find(peer ? "runs as uid 0, not as you" : "cannot tell which user"),
              std::string::npos)
        << conn.detail;
  }
}

}  // namespace
}  // namespace caskel::cli
