// The real caskeld over its socket: lifecycle, framing, small commands, callers.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "e2e/caskeld_process.h"
#include "platform/file_system.h"

namespace caskel::test {
namespace {

json parse(const std::string& text) {
  return json::parse(text, nullptr, false);
}

using ServerTest = E2eTest;

TEST_F(ServerTest, RequestsInPiecesAndOversizedRequests) {
  const int fd = connectTo(server.socketPath());
  ASSERT_GE(fd, 0);
  const std::string request = R"({"cmd": "version", "cli_version": "0.0.1"})";
  ASSERT_GT(::send(fd, request.data(), 10, MSG_NOSIGNAL), 0);
  // A deliberate gap, so that the halves arrive as separate reads: half a request gets no reply.
  pollfd gap{fd, POLLIN, 0};
  EXPECT_EQ(::poll(&gap, 1, 150), 0);
  ASSERT_GT(::send(fd, request.data() + 10, request.size() - 10, MSG_NOSIGNAL), 0);
  EXPECT_EQ(parse(readToEnd(fd))["ok"], true);

  const std::string big = R"({"cmd": "version", "pad": ")" + std::string(65536, 'x') + "\"}";
  EXPECT_EQ(parse(server.requestRaw(big))["error"], "Invalid request");
  // Refusal texts are the handlers' (tested there); on the wire, slashes come escaped.
  const std::string escaped = server.requestRaw(R"({"cmd": "nope/x"})");
  EXPECT_TRUE(has(escaped, "Unknown command: nope\\/x")) << escaped;
}

TEST_F(ServerTest, SilentPeerGetsNothingButIsRecordedAsNewCaller) {
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(readToEnd(connectTo(server.socketPath())), "");  // closed after its 5-second budget
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
  EXPECT_TRUE(server.waitForAudit({"NEW_CALLER", "result=pid "}));
}

TEST_F(ServerTest, SilentPeersDoNotStarveRealRequests) {
  std::vector<int> idle;
  for (int i = 0; i < 200; ++i) idle.push_back(connectTo(server.socketPath()));
  EXPECT_EQ(call({{"cmd", "version"}})["ok"], true);
  // Answered while every silent peer still waits: none was timed out to make room for it.
  int waiting = 0;
  for (int fd : idle) {
    char byte;
    waiting += ::recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
    ::close(fd);
  }
  EXPECT_EQ(waiting, 200);
}

// Requests that wait for the passphrase hold threads; more of them than there are accepting
// threads must not keep the server from taking and answering new connections.
TEST_F(ServerTest, RequestsWaitingOnAPromptDoNotStopOthersFromBeingServed) {
  ASSERT_EQ(call(setRequest("org/p/K", "v"))["ok"], true);
  ASSERT_TRUE(server.restart(SIGTERM));  // no session and no recent unlock: the next read prompts
  const int shown = prompts();
  server.pinentry().answer("HANG");
  std::vector<int> waiting;
  for (int i = 0; i < 16; ++i) waiting.push_back(sendOn(server.socketPath(), getRequest("org/p/K").dump()));
  // The prompt is on screen and has taken the answer that never comes.
  ASSERT_TRUE(waitUntil([&] { return prompts() > shown && server.pinentry().pendingAnswers().empty(); },
                        fs::parentOf(server.pinentry().logPath())));
  // A server that stopped accepting fails here within the connection's time limit.
  EXPECT_EQ(call({{"cmd", "version"}})["ok"], true) << "no answer while the prompt waits";
  char byte;
  for (int fd : waiting) EXPECT_EQ(::recv(fd, &byte, 1, MSG_DONTWAIT), -1) << "a waiting read was answered";
  // Ends the hung prompt: the reads waiting behind it are then answered (by the next prompts).
  ::kill(server.pinentry().prompts().back()["pid"].get<pid_t>(), SIGKILL);
  for (int fd : waiting) EXPECT_TRUE(parse(readToEnd(fd)).is_object());
}

// The host hands the handlers the real instructions and the built tool.
TEST_F(ServerTest, InstructionsAndTheBundledToolAreServed) {
  EXPECT_TRUE(has(call({{"cmd", "ai-instructions"}}).value("value", ""), "Credential Management"));
  EXPECT_EQ(call({{"cmd", "get-cli"}})["encoding"], "base64");
}

TEST_F(ServerTest, StopsCleanlyAndRemovesItsSocketButASecondInstanceDoesNotStealIt) {
  CaskeldProcess thief([&](auto& o) { o.socket = server.socketPath(); });
  EXPECT_FALSE(thief.start());
  EXPECT_TRUE(has(thief.output(), "Caskel: another instance is already running — refusing to start"))
      << thief.output();
  EXPECT_EQ(call({{"cmd", "version"}})["ok"], true);
  EXPECT_EQ(server.stop(SIGTERM), 0);
  EXPECT_EQ(modeOf(server.socketPath()), -1);
  EXPECT_EQ(modeOf(server.socketDir()), -1);
}

TEST_F(ServerTest, ForeignUserIsRefusedAtOnce) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to run a client as nobody";
  // Let another user reach the socket at all; admission must still refuse it.
  ::chmod(server.socketDir().c_str(), 0711);
  ::chmod(server.home().c_str(), 0711);
  ::chmod(server.socketPath().c_str(), 0666);
  auto reply = server.ask({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", raw},
                          {{"cmd", "version"}});
  EXPECT_EQ(reply["error"], "Unauthorized: peer UID mismatch") << reply;
}

// A socket directory that is not this user's alone is refused and left as it was; a stale
// socket in one that is gets replaced.
TEST(SocketDirectoryTest, RefusedUnlessPrivateAndAStaleSocketReplaced) {
  const struct {
    const char* name;
    int mode;  // of the directory; -1 for a regular file in its place
    uid_t owner;
    bool staleSocket;
  } cases[] = {{"wrong mode", 0755, ::getuid(), false},
               {"regular file", -1, ::getuid(), false},
               {"foreign owner", 0700, 65534, false},
               {"stale socket", 0700, ::getuid(), true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.owner != ::getuid() && ::getuid() != 0) continue;  // needs root to give it away
    CaskeldProcess server;
    const std::string dir = server.socketDir();
    if (c.mode < 0) {
      writeText(dir, "keep me");
    } else {
      ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
      ASSERT_EQ(::chmod(dir.c_str(), static_cast<mode_t>(c.mode)), 0);
      if (c.owner != ::getuid()) {
        ASSERT_EQ(::chown(dir.c_str(), c.owner, c.owner), 0);
      }
    }
    if (c.staleSocket) {
      // Bound, never listened: a dead socket.
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, server.socketPath().c_str(), sizeof addr.sun_path - 1);
      ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
      ::close(fd);
      ASSERT_TRUE(server.start()) << server.output();
      EXPECT_EQ(server.request({{"cmd", "version"}})["ok"], true);
      continue;
    }
    const int mode = modeOf(dir);
    EXPECT_FALSE(server.start());
    EXPECT_TRUE(
        has(server.output(), "Caskel: socket directory has wrong owner or permissions — refusing to start"))
        << server.output();
    EXPECT_EQ(modeOf(dir), mode);
    if (c.mode < 0) {
      EXPECT_EQ(readText(dir), "keep me");
    }
  }
}

TEST(SocketPath, TooLongIsRefusedNotCut) {
  CaskeldProcess server([](auto& o) { o.socket = "/tmp/" + std::string(120, 'x') + "/caskel.sock"; });
  EXPECT_FALSE(server.start());
  EXPECT_TRUE(has(server.output(), "Caskel: socket path is longer than 107 bytes")) << server.output();
}

TEST(SocketModes, PrivateWhateverTheUmask) {
  CaskeldProcess server([](auto& o) { o.umask = 0; });
  ASSERT_TRUE(server.start()) << server.output();
  EXPECT_EQ(modeOf(server.socketDir()), 0700);
  EXPECT_EQ(modeOf(server.socketPath()) & 0777, 0600);
}

}  // namespace
}  // namespace caskel::test
