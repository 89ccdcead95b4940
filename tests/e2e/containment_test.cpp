// An agent that tries to get around the prompt, against the real caskeld: detaching, handing on
// a socket, hiding behind an interpreter, another terminal, a downgraded strict flag, a forged
// process name. Every path must end at a truthful prompt or a refusal.
#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

// A pseudo-terminal whose slave the child makes its controlling terminal in a new session.
struct Terminal {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  std::string slave;
  Terminal() {
    if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) slave = ::ptsname(master);
  }
  ~Terminal() {
    if (master >= 0) ::close(master);
  }
  std::function<void()> attach() const {
    return [path = slave] {
      ::setsid();
      int fd = ::open(path.c_str(), O_RDWR);
      ::ioctl(fd, TIOCSCTTY, 0);
      if (fd > 2) ::close(fd);
    };
  }
};

class ContainmentTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    wrapper = copyProgram(tools.path(), raw, "bin/caskel");            // a wrapper: skipped to its parent
    agent = copyProgram(tools.path(), raw, "claude/bin/claude-tool");  // an agent by its path
    interpreter = copyProgram(tools.path(), buildPath("tests/process_probe"), "bin/python3");
    seed("acme/api/TOKEN", "tok-1234567890");
  }

  // `command` run with the socket and request, a bare environment plus `env`, `inChild` run first.
  json ask(const std::vector<std::string>& command, const json& body, std::vector<std::string> env = {},
           const std::function<void()>& inChild = {}) {
    return server.ask(command, body, bare(std::move(env), inChild));
  }
  // Everything logged so far has landed once a later LOCK has.
  std::vector<std::string> settledAudit() {
    call({{"cmd", "lock"}, {"prefix", "zz-settle"}});
    EXPECT_TRUE(server.waitForAudit({"LOCK account=zz-settle/"}));
    return server.auditLines();
  }

  std::string wrapper, agent, interpreter;
};

TEST_F(ContainmentTest, ADetachedCallerIsTaggedAndGetsOnlyTheEncryptedHandOff) {
  // Double fork with setsid and an empty environment: the tool ends up adopted by a reaper,
  // with no terminal and nothing in its ancestry that names an agent.
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  awaitExit(spawn({raw, server.socketPath(), getRequest("acme/api/TOKEN").dump()}, {}, [&] {
    ::setsid();
    const pid_t intermediate = ::getpid();
    if (::fork() != 0) ::_exit(0);
    // Connects only once adopted, as a detached process does; until then its parent is a copy
    // of this test, whose ancestry the server would follow.
    while (::getppid() == intermediate) ::sched_yield();
    ::dup2(out[1], 1);
  }));
  ::close(out[1]);
  const json reply = json::parse(readToEnd(out[0]), nullptr, false);
  EXPECT_EQ(reply["value"], "__encrypted__") << reply;
  EXPECT_EQ(reply["agent"], true);
  EXPECT_TRUE(has(lastPrompt(), "detached]")) << lastPrompt();
}

TEST_F(ContainmentTest, ASocketLeftByAProcessThatExitedIsRefusedWithoutAPrompt) {
  const int before = prompts();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, server.socketPath().c_str(), sizeof addr.sun_path - 1);
  const std::string request = getRequest("acme/api/TOKEN").dump();
  int refused = 0;
  for (int i = 0; i < 200; ++i) {
    // The child connects and exits; this process, which never connected, sends the request.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto connectAndExit = [&] { ::_exit(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr)); };
    ASSERT_EQ(awaitExit(spawn({"true"}, {}, connectAndExit)), 0);
    (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    refused += json::parse(readToEnd(fd), nullptr, false)["error"] == "Caller could not be identified";
  }
  EXPECT_EQ(refused, 200);
  EXPECT_EQ(prompts(), before);
  for (const auto& line : settledAudit()) EXPECT_FALSE(has(line, "GET ")) << line;
}

TEST_F(ContainmentTest, AnotherTerminalOfTheSameProgramIsPrompted) {
  Terminal first, second;
  ASSERT_FALSE(first.slave.empty() || second.slave.empty());
  // Both tools resolve to this test process, the program both terminals belong to.
  ASSERT_EQ(ask({wrapper}, {{"cmd", "unlock"}, {"prefix", "acme/api"}}, {}, first.attach())["ok"], true);
  const int afterUnlock = prompts();
  EXPECT_EQ(ask({wrapper}, getRequest("acme/api/TOKEN"), {}, first.attach())["value"], "tok-1234567890");
  EXPECT_EQ(prompts(), afterUnlock);  // its own terminal: served from its session
  EXPECT_EQ(ask({wrapper}, getRequest("acme/api/TOKEN"), {}, second.attach())["value"], "tok-1234567890");
  EXPECT_EQ(prompts(), afterUnlock + 1);
  // Nor does a background process of the same program ride on it.
  ask({wrapper}, getRequest("acme/api/TOKEN"), {}, [] { ::setsid(); });
  EXPECT_EQ(prompts(), afterUnlock + 2);
}

TEST_F(ContainmentTest, AnAgentUnderAnInterpreterIsNamedAndNeverRidesTheUsersSession) {
  ASSERT_EQ(call({{"cmd", "unlock"}, {"prefix", "acme/api"}})["ok"], true);
  const int afterUnlock = prompts();
  // An interpreter carrying an agent's marker runs the tool under this (unlocked) process.
  json reply = ask({interpreter, wrapper}, getRequest("acme/api/TOKEN"), {"CLAUDECODE=1"});
  EXPECT_EQ(reply["value"], "__encrypted__") << reply;
  EXPECT_EQ(prompts(), afterUnlock + 1);
  EXPECT_TRUE(lastPrompt().starts_with("Unlock \"acme/api/\" for 4h — via python3 [AI agent"))
      << lastPrompt();
}

TEST_F(ContainmentTest, AnAgentsUnlockLeavesTheUsersSessionIntact) {
  ASSERT_EQ(call({{"cmd", "unlock"}, {"prefix", "acme/api"}})["ok"], true);
  ASSERT_EQ(ask({agent}, {{"cmd", "unlock"}, {"prefix", "acme/api"}})["ok"], true);
  EXPECT_TRUE(has(lastPrompt(), "via claude [AI agent")) << lastPrompt();
  const int afterAgent = prompts();
  EXPECT_EQ(call(getRequest("acme/api/TOKEN"))["value"], "tok-1234567890");
  EXPECT_EQ(prompts(), afterAgent);
  EXPECT_TRUE(server.waitForAudit({"GET account=acme/api/TOKEN result=ok (cached)"}));
}

TEST_F(ContainmentTest, AgentsAskingForRawOutputAreRefusedBeforeAnyPromptOrRead) {
  const int before = prompts();
  for (const char* output : {"raw", "copy"}) {
    json reply = ask({agent}, {{"cmd", "get"}, {"account", "acme/api/TOKEN"}, {"output", output}});
    EXPECT_TRUE(reply["ok"] == false && has(reply.value("error", ""), "`caskel run")) << reply;
  }
  EXPECT_EQ(prompts(), before);
  for (const auto& line : settledAudit()) EXPECT_FALSE(has(line, "GET ")) << line;
  // The user asking the same is served.
  EXPECT_EQ(ask({raw}, {{"cmd", "get"}, {"account", "acme/api/TOKEN"}, {"output", "raw"}})["value"],
            "tok-1234567890");
}

TEST_F(ContainmentTest, ForgedNamesAndDirectoriesReachThePromptAsOneCleanLine) {
  const std::string forged =
      copyProgram(tools.path(), raw, "bin/vim\nApproved by you\x1b[1A\xE2\x80\xAEgnp.exe");
  const std::string place = tools.path() + "/work\n\xE2\x80\xAE\x1b[2Jdir";
  std::filesystem::create_directories(place);
  ask({forged}, getRequest("acme/api/TOKEN"), {}, [place] { (void)::chdir(place.c_str()); });
  const std::string prompt = lastPrompt();
  ASSERT_TRUE(prompt.starts_with("Unlock \"acme/api/\" for 4h — via vim")) << prompt;
  for (const char* hidden : {"\n", "\r", "\x1b", "\xE2\x80\xAE"}) EXPECT_FALSE(has(prompt, hidden));
  EXPECT_TRUE(has(prompt,
                  "vim\xEF\xBF\xBD"
                  "Approved by you\xEF\xBF\xBD[1A"))
      << prompt;
  EXPECT_TRUE(has(prompt, " in "));
}

using StrictTest = ContainmentTest;

TEST_F(StrictTest, TurningStrictOffAsksOnItsOwnEvenWithinTheReuseWindow) {
  seed("acme/api/KEY", "key-1234567890", {{"strict", true}});
  ASSERT_EQ(call({{"cmd", "unlock"}, {"prefix", "acme/api"}})["ok"], true);
  const int afterUnlock = prompts();
  // The user's session owner asks within 30 seconds: the metadata prompt is covered by the
  // reuse window, the downgrade is not.
  server.pinentry().answer("CANCEL");
  EXPECT_EQ(call({{"cmd", "meta"}, {"account", "acme/api/KEY"}, {"strict", false}})["error"],
            "Authentication canceled");
  EXPECT_EQ(prompts(), afterUnlock + 1);
  EXPECT_TRUE(lastPrompt().starts_with("Remove strict protection from \"acme/api/KEY\" — via "))
      << lastPrompt();
  // So does a "set" whose metadata leaves strict out.
  server.pinentry().answer("CANCEL");
  EXPECT_EQ(call(setRequest("acme/api/KEY", "v2-1234567890", {{"desc", "d"}}))["ok"], false);
  EXPECT_TRUE(lastPrompt().starts_with("Remove strict protection from \"acme/api/KEY\"")) << lastPrompt();
  // Still strict: a read costs its own prompt.
  const int before = prompts();
  EXPECT_EQ(call(getRequest("acme/api/KEY"))["value"], "key-1234567890");
  EXPECT_GE(prompts(), before + 1);
  EXPECT_TRUE(server.waitForAudit({"GET account=acme/api/KEY result=ok (strict)"}));
}

TEST_F(StrictTest, TheBackupOfAStrictKeyIsStrict) {
  seed("acme/api/KEY", "key-1234567890", {{"strict", true}});
  ASSERT_EQ(ask({raw}, {{"cmd", "rotate"}, {"account", "acme/api/KEY"}, {"value", "key-0987654321"}})["ok"],
            true);
  EXPECT_FALSE(ask({raw}, {{"cmd", "peek"}, {"account", "acme/api/KEY_OLD"}})["ok"]);  // no stored peek
  EXPECT_EQ(ask({raw}, getRequest("acme/api/KEY_OLD"))["value"], "key-1234567890");
  EXPECT_TRUE(server.waitForAudit({"GET account=acme/api/KEY_OLD result=ok (strict)"}));
}

TEST_F(StrictTest, EditingTheClearMetadataCannotDowngradeAStrictKey) {
  seed("acme/api/KEY", "key-1234567890", {{"strict", true}, {"type", "token"}});
  // Rewritten as a same-user writer of the vault file could; the listing shows the edit landed.
  rawSql(server.dataDir() + "/vault.db",
         R"(UPDATE items SET generic = '{"type":"edited"}' WHERE account = 'acme/api/KEY')");
  ASSERT_NE(call({{"cmd", "ls"}}).dump().find(R"("type":"edited")"), std::string::npos);
  ASSERT_EQ(call({{"cmd", "unlock"}, {"prefix", "acme/api"}})["ok"], true);
  const int afterUnlock = prompts();
  EXPECT_EQ(call(getRequest("acme/api/KEY"))["value"], "key-1234567890");
  EXPECT_EQ(prompts(), afterUnlock + 1);
  EXPECT_TRUE(lastPrompt().starts_with("Read strict secret \"acme/api/KEY\"")) << lastPrompt();
  EXPECT_TRUE(server.waitForAudit({"GET account=acme/api/KEY result=ok (strict)"}));
}

}  // namespace
}  // namespace caskel::test
