#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/scripted_pinentry.h"
#include "support/test_env.h"

namespace caskel::test {

using json = nlohmann::json;
using Env = std::map<std::string, std::string>;

struct ProcessResult {
  int code = -1;  // -1 when killed by a signal or it never finished
  std::string out, err;
};

struct RunOptions {
  std::string input;                            // standard input
  std::optional<std::vector<std::string>> env;  // exactly this environment; else this process's
  std::function<void()> inChild;                // runs in the child just before exec
};

// This process's environment ("NAME=value") without the names `drop` picks, with `overrides`.
std::vector<std::string> environmentWith(const Env& overrides,
                                         const std::function<bool(const std::string&)>& drop = {});

// Forks and execs `argv` (a program name is looked up in PATH) with exactly `env`; `inChild`
// runs in the child first. Everything is built before the fork: the child may only redirect.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::function<void()>& inChild = {});
// The wait status of `pid` once it ends; past `timeoutMs` it is killed (and `ended` false).
int awaitExit(pid_t pid, int timeoutMs = 60000, bool* ended = nullptr);
// One line from `fd` without its end; each read bounded by `timeoutMs`.
std::string readLine(int fd, int timeoutMs = 60000);

// Runs `argv` (a program name is looked up in PATH) to its end, bounded by a minute, and
// returns its exit status and what it printed. Output goes through files, so a helper the
// program leaves behind cannot hold the call up.
ProcessResult runProcess(const std::vector<std::string>& argv, const RunOptions& options = {});

// `from` copied to dir/relative (directories created) and made executable; copied only once.
std::string copyProgram(const std::string& dir, const std::string& from, const std::string& relative);
// A shell installed under a folder named "claude", as an agent's would be.
inline std::string agentShell(const std::string& dir) {
  return copyProgram(dir, "/bin/bash", "claude/bash");
}
// A prefix that runs a program as root without capabilities, which stands for an ordinary
// user (as root, capabilities would decide instead); empty when not root.
std::vector<std::string> unprivilegedLauncher();

// A connection to the socket at `path`, or -1.
int connectTo(const std::string& path);
// A new connection to `socketPath` with `bytes` sent and the writing side closed; reads on it
// give up after a minute.
int sendOn(const std::string& socketPath, const std::string& bytes);
// Everything the descriptor yields until end of stream; then closes it.
std::string readToEnd(int fd);

// The real caskeld in a temporary HOME, with its own socket and a scripted pinentry that
// answers the vault passphrase unless a test queues something else.
class CaskeldProcess {
 public:
  static constexpr const char* kPassphrase = "correct horse battery staple";

  struct Options {
    bool auditEnabled = true;
    std::vector<std::string> extraArgs;
    std::map<std::string, std::string> extraEnv;
    std::optional<mode_t> umask;  // the server's umask at start
    // A command the server is started through (e.g. setpriv with its options); it must exec
    // the server in its own process, so that pid() stays the server's.
    std::vector<std::string> launcher;
    // Leaves CASKEL_PINENTRY out of the server's environment (extraEnv may still set it).
    bool unsetPinentry = false;
    // The server's working directory; this process's own when empty.
    std::string workingDir;
    // Another socket than the one in HOME.
    std::string socket;
    // Runs this desktop program (caskel-app or a copy of it) instead of caskeld: offscreen,
    // given the socket through CASKEL_SOCKET.
    std::string desktopProgram;
  };

  // `configure` adjusts the options, e.g. [](auto& o) { o.umask = 0; }.
  explicit CaskeldProcess(const std::function<void(Options&)>& configure = {});
  ~CaskeldProcess();

  // Starts the server and waits until it listens (or exits). False when it did not start.
  bool start();
  // The environment the program runs with ("NAME=value"), e.g. for a second start beside it.
  std::vector<std::string> environment() const;
  // Sends a signal and waits for the exit status (or -1 when it died by a signal).
  int stop(int signal = 15);
  // Stops the server with `signal` and starts it again on the same HOME and socket.
  bool restart(int signal = 9) {
    stop(signal);
    return start();
  }
  // True while the server process exists and has not exited (a zombie counts as gone).
  bool running() const;
  pid_t pid() const { return pid_; }

  // One request from this test process; the parsed reply (null when none or not JSON).
  json request(const json& body) const { return json::parse(requestRaw(body.dump()), nullptr, false); }
  // One request written raw; the reply text as received.
  std::string requestRaw(const std::string& bytes) const { return readToEnd(sendOn(socketPath_, bytes)); }
  // One request from a separate client process: `command` (a client, or wrappers such as
  // sh -c or setpriv before it) given the socket and the request; the parsed reply.
  json ask(const std::vector<std::string>& command, const json& body, const RunOptions& run = {}) const;

  // Everything caskeld printed on standard output so far.
  std::string output() const { return readText(outputPath()); }
  std::vector<std::string> auditLines() const;
  // Waits (inotify, bounded) until the audit log holds a line containing every needle.
  bool waitForAudit(const std::vector<std::string>& needles, int timeoutMs = 10000) const;

  const std::string& home() const { return home_.path(); }
  std::string dataDir() const { return home_.path() + "/.local/share/caskel"; }
  std::string configDir() const { return home_.path() + "/.config/caskel"; }
  const std::string& socketPath() const { return socketPath_; }
  std::string socketDir() const { return home_.path() + "/sock"; }
  ScriptedPinentry& pinentry() { return *pinentry_; }
  int prompts() const { return pinentry_->promptCount(); }
  // The text of the newest prompt, or "".
  std::string lastPrompt() const;
  static std::string rawClientPath() { return buildPath("tests/raw_client"); }

 private:
  Options options_;
  TempDir home_;
  std::string socketPath_;
  std::unique_ptr<ScriptedPinentry> pinentry_;
  pid_t pid_ = -1;
  std::string outputPath() const { return home_.path() + "/output"; }
};

inline bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}
inline ::testing::AssertionResult outcome(const ProcessResult& r, bool expected) {
  if (expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "exit " << r.code << ", stdout: " << r.out << ", stderr: " << r.err;
}
// The run ended with `code`, printed nothing and said `says` on standard error.
inline ::testing::AssertionResult failedWith(const ProcessResult& r, int code, const std::string& says) {
  return outcome(r, r.code == code && r.out.empty() && has(r.err, says));
}
// The run succeeded and printed `says` on standard output.
inline ::testing::AssertionResult printed(const ProcessResult& r, const std::string& says) {
  return outcome(r, r.code == 0 && has(r.out, says));
}

inline json getRequest(const std::string& account) {
  return {{"cmd", "get"}, {"account", account}};
}
// A "set" request; `extra` adds metadata fields.
json setRequest(const std::string& account, const std::string& value, const json& extra = json::object());

// One running server per test, and the ways of asking it.
class E2eTest : public ::testing::Test {
 protected:
  explicit E2eTest(const std::function<void(CaskeldProcess::Options&)>& configure = {}) : server(configure) {}
  void SetUp() override { ASSERT_TRUE(server.start()) << server.output(); }

  json call(const json& body) { return server.request(body); }
  // One request from a short-lived raw client: a process that owns no session, and whose
  // passphrase answer covers nothing this test process asks next.
  json fromRaw(const json& body) { return server.ask({raw}, body, bare()); }
  // Exactly `env` and a PATH of system tools, so that nothing of this test's environment
  // (an agent's marker, say) reaches the client.
  static RunOptions bare(std::vector<std::string> env = {}, std::function<void()> inChild = {}) {
    env.push_back("PATH=/usr/bin:/bin");
    return {"", env, std::move(inChild)};
  }
  // Stored through a short-lived client: a yes given to this test process would let its next
  // prompt within the reuse window pass unasked, so tests that count prompts seed this way.
  void seed(const std::string& account, const std::string& value, const json& extra = json::object()) {
    ASSERT_EQ(fromRaw(setRequest(account, value, extra))["ok"], true) << account;
  }
  int prompts() const { return server.prompts(); }
  std::string lastPrompt() const { return server.lastPrompt(); }
  // The listing entry of `account` as the server gives it, asked without a prompt (null when absent).
  json listed(const std::string& account) {
    const json all = call({{"cmd", "ls"}, {"no_prompt", true}})["accounts"];
    const auto it =
        std::find_if(all.begin(), all.end(), [&](const json& e) { return e["account"] == account; });
    return it == all.end() ? json() : *it;
  }

  TempDir tools;
  CaskeldProcess server;
  const std::string raw = CaskeldProcess::rawClientPath();
};

// The real caskel tool against a real caskeld in a temporary HOME, run by a person's shell
// or by an agent's.
class ToolFixture : public E2eTest {
 protected:
  using E2eTest::E2eTest;

  static std::string caskelPath() { return buildPath("src/caskel"); }
  // The tool's environment: this server, the temporary HOME, the build's caskel on PATH; `extra`
  // added or overriding.
  std::vector<std::string> toolEnv(const Env& extra = {}) const;
  // The tool, run under `launcher` (such as unprivilegedLauncher()) when one is given.
  ProcessResult caskel(const std::vector<std::string>& args, const std::string& input = "",
                       const Env& env = {}, std::vector<std::string> launcher = {});
  // `script` run by bash (an agent's, with `agent`), "$CASKEL" naming the tool and `args` as "$1"...
  ProcessResult bash(const std::string& script, const std::vector<std::string>& args = {}, bool agent = false,
                     const Env& env = {});
  // The tool started by the agent's shell (not as the script's last command, which bash would
  // exec in the shell's place).
  ProcessResult agentCaskel(const std::vector<std::string>& args, const Env& env = {}) {
    return bash("\"$CASKEL\" \"$@\"; rc=$?; exit $rc", args, true, env);
  }
  // Stored by this process, which then needs no prompt for the next within the reuse window.
  void put(const std::string& account, const std::string& value, const json& extra = json::object()) {
    ASSERT_EQ(call(setRequest(account, value, extra))["ok"], true) << account;
  }

  const std::string runtimeDir = server.home() + "/run";
};

}  // namespace caskel::test
