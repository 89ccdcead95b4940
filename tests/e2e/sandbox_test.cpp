// `caskel sandbox` with the real bwrap, caskeld and caskel: what the sandboxed command can no
// longer reach, and what it is still served through the sandbox's own socket.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

class SandboxTest : public ToolFixture {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/bwrap", X_OK) != 0) GTEST_SKIP() << "bubblewrap is not installed";
    auto probe = runProcess({"bwrap", "--unshare-pid", "--ro-bind", "/", "/", "--proc", "/proc", "--dev",
                             "/dev", "--", "/bin/true"});
    if (probe.code != 0) GTEST_SKIP() << "this system refuses bwrap's namespaces: " << probe.err;
    ToolFixture::SetUp();
    // The build tree may lie in /tmp, which the sandbox replaces: the tool goes where it is seen.
    tool = copyProgram(server.home(), caskelPath(), "bin/caskel");
    ::mkdir(project.c_str(), 0700);
    seed("acme/api/TOKEN", "tok-1234567890");
  }

  // `script` run by bash in a sandbox on the project, with the tool as "$CASKEL".
  ProcessResult sandboxed(const std::string& script, std::vector<std::string> options = {}) {
    std::vector<std::string> args = {"sandbox", "--project", project};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"--", "/bin/bash", "-c", script});
    return caskel(args, "", {{"CASKEL", tool}});
  }
  // The sandbox directories the server has open now.
  std::vector<std::string> sandboxSockets() const {
    std::vector<std::string> found;
    if (DIR* dir = ::opendir(server.socketDir().c_str())) {
      while (dirent* e = ::readdir(dir)) {
        if (std::string(e->d_name).starts_with("sandbox-")) {
          found.push_back(server.socketDir() + "/" + e->d_name + "/caskel.sock");
        }
      }
      ::closedir(dir);
    }
    return found;
  }

  std::string tool;
  const std::string project = server.home() + "/proj";
};

TEST_F(SandboxTest, CaskelsFilesTheShellsStartUpAndOtherProcessesAreOutOfReach) {
  auto r = sandboxed(
      "cat \"$HOME\"/.local/share/caskel/* >/dev/null 2>&1 && echo vault-read; "
      "ls \"$HOME\"/.config/caskel/* >/dev/null 2>&1 && echo config-seen; "
      "ls " +
      server.socketPath() +
      " >/dev/null 2>&1 && echo main-socket-seen; "
      "echo evil >> \"$HOME\"/.bashrc 2>/dev/null && echo bashrc-written; "
      "echo ok > written && echo project-written; "
      "echo processes; cat /proc/[0-9]*/comm");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.find("vault-read"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("config-seen"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("main-socket-seen"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("bashrc-written"), std::string::npos) << r.out;
  EXPECT_TRUE(has(r.out, "project-written"));
  // Only the sandbox's own processes: bwrap's init, the shell and cat.
  std::istringstream seen(r.out.substr(r.out.find("processes\n") + 10));
  for (std::string name; std::getline(seen, name);) {
    EXPECT_TRUE(name == "bwrap" || name == "bash" || name == "cat") << name;
  }
  // The refusals above are the sandbox's doing: outside, the directories are there.
  EXPECT_TRUE(modeOf(server.configDir()) >= 0 && modeOf(server.dataDir()) >= 0);
}

TEST_F(SandboxTest, EverythingInsideIsAnAgentNamedAsSandboxed) {
  const int before = prompts();
  auto raw = sandboxed("\"$CASKEL\" get --raw acme/api/TOKEN");
  EXPECT_NE(raw.code, 0);
  EXPECT_FALSE(has(raw.out, "tok-1234567890"));
  EXPECT_EQ(prompts(), before) << "refused without asking";

  auto handOff = sandboxed("eval \"$(\"$CASKEL\" get acme/api/TOKEN)\" || exit 9; printf '%s' \"$TOKEN\"");
  EXPECT_TRUE(outcome(handOff, handOff.code == 0 && handOff.out == "tok-1234567890"));
  EXPECT_EQ(prompts(), before + 1);
  EXPECT_TRUE(has(lastPrompt(), "via bash [AI agent, sandboxed] in ~/proj")) << lastPrompt();

  // What an agent may do works inside: listing, a peek, values given to a command and masked.
  auto work = sandboxed(
      "\"$CASKEL\" ls acme/api && \"$CASKEL\" peek acme/api/TOKEN && "
      "\"$CASKEL\" run acme/api -- /bin/sh -c 'printf \"%s\\n\" \"$TOKEN\"'");
  EXPECT_TRUE(outcome(work, work.code == 0 && has(work.out, "acme/api/TOKEN") && has(work.out, "tok...") &&
                                has(work.out, "<redacted:TOKEN>") && !has(work.out, "tok-1234567890")));

  // The same tool outside, from the person's side, is served as before.
  auto outside = caskel({"get", "--raw", "acme/api/TOKEN"});
  EXPECT_TRUE(printed(outside, "tok-1234567890"));
  EXPECT_FALSE(has(lastPrompt(), "sandboxed"));

  // Neither an agent outside nor anything inside may open a sandbox that would vouch for it.
  auto fromAgent = agentCaskel({"sandbox", "--project", project, "--", "/bin/true"});
  EXPECT_TRUE(failedWith(fromAgent, 1, "an AI agent cannot open a sandbox")) << fromAgent.err;
  auto nested = sandboxed("\"$CASKEL\" sandbox -- /bin/true");
  EXPECT_TRUE(has(nested.err, "an AI agent cannot open a sandbox")) << nested.err;
}

TEST_F(SandboxTest, TheSandboxSocketLivesExactlyAsLongAsTheSandbox) {
  int toChild[2], fromChild[2];
  ASSERT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
  const pid_t pid = spawn(
      {caskelPath(), "sandbox", "--project", project, "--", "/bin/sh", "-c", "echo ready; cat >/dev/null"},
      toolEnv(), [&] {
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
      });
  ::close(toChild[0]);
  ::close(fromChild[1]);
  ASSERT_EQ(readLine(fromChild[0]), "ready");
  const auto sockets = sandboxSockets();
  ASSERT_EQ(sockets.size(), 1u);
  // This test process reaches the socket's directory, but it is not the sandbox.
  const json outsider = json::parse(readToEnd(sendOn(sockets[0], R"({"cmd":"version"})")), nullptr, false);
  EXPECT_EQ(outsider.value("error", ""), "Caller could not be identified") << outsider.dump();

  ::close(toChild[1]);  // the shell's read ends, and with it the sandbox
  const int status = awaitExit(pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ::close(fromChild[0]);
  EXPECT_TRUE(sandboxSockets().empty());
  EXPECT_LT(connectTo(sockets[0]), 0);
}

TEST_F(SandboxTest, RefusesWhatWouldOpenAHoleAndSaysWhatIsMissing) {
  auto home = caskel({"sandbox", "--project", server.home(), "--", "/bin/true"});
  EXPECT_TRUE(failedWith(home, 1, "holds your home directory")) << home.err;
  auto config =
      caskel({"sandbox", "--project", project, "--allow", server.home() + "/.config", "--", "/bin/true"});
  EXPECT_TRUE(failedWith(config, 1, "writable")) << config.err;
  auto noCommand = caskel({"sandbox", "--project", project});
  EXPECT_TRUE(failedWith(noCommand, 2, "give the command after --"));

  // Typing into the person's terminal from inside fails before the terminal is asked.
  // Without the filter the kernel would answer that standard input is no terminal.
  auto inject = sandboxed("perl -e '$c = \"x\"; ioctl(STDIN, 0x5412, $c) or print \"$!\"'");
  EXPECT_TRUE(has(inject.out, "Operation not permitted")) << inject.out << inject.err;
}

// Whether bwrap is missing or refused, the person reads one line that says so; these need no
// working bwrap, so they run everywhere.
using SandboxUnavailableTest = ToolFixture;

TEST_F(SandboxUnavailableTest, AMissingOrRefusedBwrapIsOneClearLine) {
  auto missing = caskel({"sandbox", "--", "/bin/true"}, "", {{"PATH", "/nonexistent"}});
  EXPECT_TRUE(failedWith(missing, 1, "needs bubblewrap (bwrap)"));
  EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;

  const std::string fake = tools.file("bwrap");
  writeText(fake, "#!/bin/sh\necho 'bwrap: No permissions to creating new namespace' >&2\nexit 1\n");
  ::chmod(fake.c_str(), 0700);
  auto refused = caskel({"sandbox", "--", "/bin/true"}, "", {{"PATH", tools.path() + ":/usr/bin:/bin"}});
  EXPECT_TRUE(failedWith(refused, 1, "bubblewrap cannot make a sandbox here (bwrap: No permissions"));
  EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
}

}  // namespace
}  // namespace caskel::test
