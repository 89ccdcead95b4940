// The real caskeld over its socket: lifecycle, framing, validation, small commands, callers.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/caskeld_process.h"
#include "platform/file_system.h"

namespace caskel::test {
namespace {

nlohmann::json parse(const std::string& text) {
  return nlohmann::json::parse(text, nullptr, false);
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()) << server.output(); }
  CaskeldProcess server;
};

TEST_F(ServerTest, InvalidRequestsAreRefusedWithTheirTexts) {
  for (const char* raw : {"[1,2]", "{}", R"({"cmd": 7})", "not json"}) {
    EXPECT_EQ(parse(server.requestRaw(raw))["error"], "Invalid request") << raw;
  }
  auto upper = server.request({{"cmd", "GET"}});
  EXPECT_EQ(upper["ok"], false);
  EXPECT_EQ(upper["error"], "Unknown command: GET");

  // The account is checked before the command is looked up.
  const std::string invalid = "Invalid account name — use only letters, numbers, /, _, ., - (max 512 chars)";
  const std::string valid = "Unknown command: nope";
  for (const auto& [account, error] :
       std::vector<std::pair<std::string, std::string>>{{std::string(512, 'a'), valid},
                                                        {std::string(513, 'a'), invalid},
                                                        {"", invalid},
                                                        {"org/my key", valid},
                                                        {"org/key!", invalid},
                                                        {"org/key\n", invalid}}) {
    EXPECT_EQ(server.request({{"cmd", "nope"}, {"account", account}})["error"], error) << account;
  }
  // The prefix is checked before any command runs, "ls" included.
  EXPECT_EQ(server.request({{"cmd", "ls"}, {"prefix", "a$b"}})["error"],
            "Invalid prefix — use only letters, numbers, /, _, ., - (max 512 chars)");
}

TEST_F(ServerTest, RequestsInPiecesAndOversizedRequests) {
  int fd = connectTo(server.socketPath());
  ASSERT_GE(fd, 0);
  std::string request = R"({"cmd": "version", "cli_version": "0.0.1"})";
  ASSERT_GT(::send(fd, request.data(), 10, MSG_NOSIGNAL), 0);
  // A deliberate gap, so that the halves arrive as separate reads: half a request gets no reply.
  pollfd gap{fd, POLLIN, 0};
  EXPECT_EQ(::poll(&gap, 1, 150), 0);
  ASSERT_GT(::send(fd, request.data() + 10, request.size() - 10, MSG_NOSIGNAL), 0);
  auto reply = parse(readToEnd(fd));
  ::close(fd);
  EXPECT_EQ(reply["ok"], true);

  std::string big = R"({"cmd": "version", "pad": ")" + std::string(65536, 'x') + "\"}";
  EXPECT_EQ(parse(server.requestRaw(big))["error"], "Invalid request");
}

TEST_F(ServerTest, SilentPeerGetsNothingButIsRecordedAsNewCaller) {
  int fd = connectTo(server.socketPath());
  ASSERT_GE(fd, 0);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(readToEnd(fd), "");  // the server closes after its 5-second budget
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
  ::close(fd);
  EXPECT_TRUE(server.waitForAudit({"NEW_CALLER", "result=pid "}));
}

TEST_F(ServerTest, SilentPeersDoNotStarveRealRequests) {
  std::vector<int> idle;
  for (int i = 0; i < 200; ++i) idle.push_back(connectTo(server.socketPath()));
  EXPECT_EQ(server.request({{"cmd", "version"}})["ok"], true);
  // Answered while every silent peer still waits: none was timed out to make room for it.
  int waiting = 0;
  for (int fd : idle) {
    char byte;
    waiting += ::recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
    ::close(fd);
  }
  EXPECT_EQ(waiting, 200);
}

// The direct children of `pid` (the server's pinentry, say).
std::vector<pid_t> childrenOf(pid_t pid) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(text.substr(close + 2));
    std::string state;
    pid_t parent = 0;
    if (fields >> state >> parent && parent == pid) found.push_back(std::stoi(name));
  }
  return found;
}

// Requests that wait for the passphrase hold threads; more of them than there are accepting
// threads must not keep the server from taking and answering new connections.
TEST_F(ServerTest, RequestsWaitingOnAPromptDoNotStopOthersFromBeingServed) {
  ASSERT_EQ(server.request({{"cmd", "set"}, {"account", "org/p/K"}, {"value", "v"}})["ok"], true);
  ASSERT_TRUE(server.restart(SIGTERM));  // no session and no recent unlock: the next read prompts
  const int shown = server.pinentry().promptCount();
  server.pinentry().answer("HANG");
  std::vector<int> waiting;
  const std::string get = R"({"cmd": "get", "account": "org/p/K"})";
  for (int i = 0; i < 16; ++i) {
    int fd = connectTo(server.socketPath());
    ASSERT_GE(fd, 0);
    ASSERT_GT(::send(fd, get.data(), get.size(), MSG_NOSIGNAL), 0);
    ::shutdown(fd, SHUT_WR);
    waiting.push_back(fd);
  }
  // The prompt is on screen and has taken the answer that never comes.
  ASSERT_TRUE(CaskeldProcess::waitUntil(
      [&] { return server.pinentry().promptCount() > shown && server.pinentry().pendingAnswers().empty(); },
      fs::parentOf(server.pinentry().logPath())));

  // Bounded, so that a server that stopped accepting fails the test instead of hanging it.
  int fd = connectTo(server.socketPath());
  ASSERT_GE(fd, 0);
  timeval limit{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const std::string version = R"({"cmd": "version"})";
  ASSERT_GT(::send(fd, version.data(), version.size(), MSG_NOSIGNAL), 0);
  ::shutdown(fd, SHUT_WR);
  nlohmann::json reply = parse(readToEnd(fd));
  EXPECT_TRUE(reply.is_object() && reply["ok"] == true) << "no answer while the prompt waits";
  ::close(fd);
  char byte;
  for (int fd : waiting) {
    EXPECT_EQ(::recv(fd, &byte, 1, MSG_DONTWAIT), -1) << "a waiting read was answered";
  }
  // Ends the hung prompt: the reads waiting behind it are then answered (by the next prompts).
  for (pid_t child : childrenOf(server.pid())) ::kill(child, SIGKILL);
  for (int fd : waiting) {
    EXPECT_TRUE(parse(readToEnd(fd)).is_object());
    ::close(fd);
  }
}

TEST_F(ServerTest, SmallCommands) {
  auto version = server.request({{"cmd", "version"}});
  EXPECT_EQ(version["ok"], true);
  EXPECT_TRUE(version["value"].is_string());
  EXPECT_FALSE(version.contains("agent"));

  auto instructions = server.request({{"cmd", "ai-instructions"}});
  EXPECT_EQ(instructions["ok"], true);
  EXPECT_NE(instructions["value"].get<std::string>().find("Credential Management"), std::string::npos);

  auto cli = server.request({{"cmd", "get-cli"}});
  if (fs::readFile(buildPath("src/caskel"))) {
    EXPECT_EQ(cli["ok"], true);
    EXPECT_EQ(cli["encoding"], "base64");
  } else {
    EXPECT_EQ(cli["error"], "Bundled CLI not found");
  }
}

TEST_F(ServerTest, RepliesEscapeSlashes) {
  std::string raw = server.requestRaw(R"({"cmd": "nope/x"})");
  EXPECT_NE(raw.find("nope\\/x"), std::string::npos) << raw;
}

TEST_F(ServerTest, AnAgentAncestorMarksTheCaller) {
  TempDir tools;
  const std::string client = CaskeldProcess::rawClientPath();
  const std::string script = "sh -c '\"$0\" \"$1\" \"$2\"; true' \"$0\" \"$1\" \"$2\"; true";
  EXPECT_EQ(server.ask({agentShell(tools.path()), "-c", script, client}, {{"cmd", "version"}})["agent"],
            true);
  auto plain = server.ask({"sh", "-c", "\"$0\" \"$1\" \"$2\"; true", client}, {{"cmd", "version"}});
  EXPECT_EQ(plain["ok"], true);
  EXPECT_FALSE(plain.contains("agent"));
}

TEST_F(ServerTest, AnExecutableIsFirstSeenOnlyOnceAlsoAcrossRestarts) {
  auto countNewCallers = [&](const CaskeldProcess& s) {
    int n = 0;
    for (const auto& line : s.auditLines()) n += line.find("NEW_CALLER") != std::string::npos;
    return n;
  };
  server.request({{"cmd", "version"}});
  ASSERT_TRUE(server.waitForAudit({"NEW_CALLER"}));
  server.request({{"cmd", "version"}});
  server.request({{"cmd", "lock"}});  // audited after any NEW_CALLER of the same connection
  ASSERT_TRUE(server.waitForAudit({"LOCK account=(all)"}));
  EXPECT_EQ(countNewCallers(server), 1);
  EXPECT_EQ(server.stop(), 0);
  ASSERT_TRUE(server.start()) << server.output();
  server.request({{"cmd", "lock"}, {"prefix", "after/restart"}});
  ASSERT_TRUE(server.waitForAudit({"LOCK account=after/restart/"}));
  EXPECT_EQ(countNewCallers(server), 1);
}

TEST_F(ServerTest, StopsCleanlyAndRemovesItsSocket) {
  EXPECT_EQ(server.stop(SIGTERM), 0);
  EXPECT_EQ(modeOf(server.socketPath()), -1);
  EXPECT_EQ(modeOf(server.socketDir()), -1);
}

TEST_F(ServerTest, ASecondInstanceDoesNotStealTheSocket) {
  // Point the second server at the first one's socket.
  CaskeldProcess::Options same;
  same.extraArgs = {"--socket", server.socketPath()};
  CaskeldProcess thief(same);
  EXPECT_FALSE(thief.start());
  EXPECT_NE(thief.output().find("Caskel: another instance is already running — refusing to start"),
            std::string::npos)
      << thief.output();
  EXPECT_EQ(server.request({{"cmd", "version"}})["ok"], true);
}

TEST_F(ServerTest, ForeignUserIsRefusedAtOnce) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to run a client as nobody";
  // Let another user reach the socket at all; admission must still refuse it.
  ::chmod(server.socketDir().c_str(), 0711);
  ::chmod(server.home().c_str(), 0711);
  ::chmod(server.socketPath().c_str(), 0666);
  auto reply = server.ask(
      {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", CaskeldProcess::rawClientPath()},
      {{"cmd", "version"}});
  EXPECT_EQ(reply["error"], "Unauthorized: peer UID mismatch") << reply;
}

// A socket directory that is not this user's alone is refused and left as it was.
TEST(SocketDirectoryTest, OneNotPrivateIsRefusedAndLeftAlone) {
  const std::vector<std::pair<const char*, std::function<void(const std::string&)>>> cases = {
      {"wrong mode",
       [](const std::string& dir) {
         ::mkdir(dir.c_str(), 0755);
         ::chmod(dir.c_str(), 0755);
       }},
      {"regular file", [](const std::string& dir) { writeText(dir, "keep me"); }},
      {"foreign owner", [](const std::string& dir) {
         ::mkdir(dir.c_str(), 0700);
         ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
       }}};
  for (const auto& [name, prepare] : cases) {
    SCOPED_TRACE(name);
    if (std::string(name) == "foreign owner" && ::getuid() != 0) continue;  // needs root to give it away
    CaskeldProcess server;
    prepare(server.socketDir());
    const int mode = modeOf(server.socketDir());
    const std::string content = readText(server.socketDir());
    EXPECT_FALSE(server.start());
    EXPECT_NE(
        server.output().find("Caskel: socket directory has wrong owner or permissions — refusing to start"),
        std::string::npos)
        << server.output();
    EXPECT_EQ(modeOf(server.socketDir()), mode);
    EXPECT_EQ(readText(server.socketDir()), content);
  }
}

TEST(SocketDirectoryTest, StaleSocketIsReplaced) {
  CaskeldProcess server;
  ::mkdir(server.socketDir().c_str(), 0700);
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, server.socketPath().c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);  // bound, never listened: a dead socket
  ASSERT_TRUE(server.start()) << server.output();
  EXPECT_EQ(server.request({{"cmd", "version"}})["ok"], true);
}

TEST(SocketModes, PrivateWhateverTheUmask) {
  CaskeldProcess::Options options;
  options.umask = 0;
  CaskeldProcess server(options);
  ASSERT_TRUE(server.start()) << server.output();
  EXPECT_EQ(modeOf(server.socketDir()), 0700);
  EXPECT_EQ(modeOf(server.socketPath()) & 0777, 0600);
}

TEST(SocketPath, TooLongIsRefusedNotCut) {
  CaskeldProcess::Options options;
  options.extraArgs = {"--socket", "/tmp/" + std::string(120, 'x') + "/caskel.sock"};
  CaskeldProcess server(options);
  EXPECT_FALSE(server.start());
  EXPECT_NE(server.output().find("Caskel: socket path is longer than 107 bytes"), std::string::npos)
      << server.output();
}

}  // namespace
}  // namespace caskel::test
