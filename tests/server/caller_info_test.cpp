#include "server/caller_info.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "support/test_env.h"

// Callers are written with designated initializers; the fields left out are meant absent.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace caskel {
namespace {

using test::TempDir;

TEST(CallerNames, NamesWrappersAndPlaces) {
  std::pair<const char*, const char*> names[] = {
      {"/opt/Cursor/resources/app/bin/Cursor", "cursor"},
      {"/Library/Frameworks/Python.framework/Versions/3.11/bin/Python", "Python"},
      {"/", "/"},
      {"/usr/share/code/code", "code"},
      {"/opt/Windsurf/windsurf", "windsurf"},
      {"/tmp/t/claude/bin/agent-tool", "claude"},  // an agent's helper is named after the agent
  };
  for (auto [path, name] : names) EXPECT_EQ(displayName(path), name) << path;
  for (const char* name : {"dash", "ksh", "nodejs", "python3.11", "Python", "env"})
    EXPECT_TRUE(isWrapperName(name));
  for (const char* name : {"pythonista", "python3x", "bashful", "Bash"}) EXPECT_FALSE(isWrapperName(name));

  EXPECT_EQ(shortenPath("/home/u", "/home/u"), "~");
  EXPECT_EQ(shortenPath("/home/u/dev/acme/api", "/home/u"), "\u2026/acme/api");
  EXPECT_EQ(shortenPath("/home/user2/x", "/home/u"), "/home/user2/x");  // a sibling is not home
}

TEST(CallerNames, DescriptionsTagTheCallerAndShowOneHonestLine) {
  const std::string api = "/home/u/dev/acme/api";
  std::pair<CallerInfo, std::string> rows[] = {
      {{.name = "claude", .cwd = api, .isFirstSeen = true},
       "via claude [NEW, background] in \u2026/acme/api"},
      {{.name = "claude", .hasTTY = true, .cwd = api, .isFirstSeen = true, .isAgent = true},
       "via claude [AI agent, NEW] in \u2026/acme/api"},
      {{.name = "claude", .cwd = api, .isAgent = true, .detached = true},
       "via claude [AI agent, detached] in \u2026/acme/api"},
      // A sandbox's caller: neither first sight nor a missing terminal says anything more.
      {{.name = "bash", .cwd = api, .isFirstSeen = true, .isAgent = true, .sandboxed = true},
       "via bash [AI agent, sandboxed] in \u2026/acme/api"},
      {{.name = "ghostty", .hasTTY = true, .cwd = "/home/u/notes"}, "via ghostty in ~/notes"},
      {{.name = "zsh", .hasTTY = true, .cwd = ""}, "via zsh"},
      {{.name = std::string(500, 'x'), .hasTTY = true, .cwd = ""},
       "via " + std::string(19, 'x') + "\u2026" + std::string(20, 'x')},
  };
  for (const auto& [who, expected] : rows) EXPECT_EQ(who.description("/home/u"), expected);
}

// The system's processes with this test process (and all above it) hidden, so that the terminal,
// environment or agent running the tests cannot leak into a result; plus scripted processes.
class TestProcesses : public ProcessInfo {
 public:
  struct Scripted {
    ProcessRecord record;
    std::string exe;
    std::vector<std::string> args;
  };
  std::map<int32_t, Scripted> scripted;
  std::set<int32_t> dead;
  int commandLineReads = 0;

  void add(int32_t pid, std::string exe, std::vector<std::string> args, double start = 100) {
    // Like the kernel, the command name is the executable's base name, cut to 15 bytes.
    std::string comm = exe.substr(exe.find_last_of('/') + 1).substr(0, 15);
    scripted[pid] = Scripted{ProcessRecord{pid, 1, 0, start, comm}, std::move(exe), std::move(args)};
  }
  std::optional<PeerCredentials> peerCredentials(int fd) override { return sys.peerCredentials(fd); }
  std::optional<ProcessRecord> record(int32_t pid) override {
    if (scripted.contains(pid)) return scripted[pid].record;
    return pid == ::getpid() ? std::nullopt : sys.record(pid);
  }
  std::optional<std::string> executablePath(int32_t pid) override {
    if (scripted.contains(pid)) return scripted[pid].exe;
    return pid == ::getpid() ? std::nullopt : sys.executablePath(pid);
  }
  std::optional<std::string> currentDirectory(int32_t pid) override { return sys.currentDirectory(pid); }
  std::vector<std::string> commandLine(int32_t pid) override {
    ++commandLineReads;
    return scripted.contains(pid) ? scripted[pid].args : sys.commandLine(pid);
  }
  std::vector<std::string> environmentMarkers(int32_t pid, const std::vector<std::string>& names) override {
    return pid == ::getpid() ? std::vector<std::string>{} : sys.environmentMarkers(pid, names);
  }
  uint32_t currentUid() override { return sys.currentUid(); }
  bool peerAlive(const PeerCredentials& peer) override { return !dead.contains(peer.pid); }

 private:
  ProcessInfo& sys = ProcessInfo::system();
};

// Identification fails closed: whoever cannot be read, has exited or started after the
// connection was admitted (a reused pid) is refused, never served under a guessed name.
TEST(CallerLogic, AdmissionFailsClosed) {
  using Status = Admission::Status;
  TempDir dir;
  TestProcesses procs;
  CallerIdentifier ids(procs, dir.file("known.json"), "/home/u");
  EXPECT_EQ(ids.identifyPeer(PeerCredentials{::getuid() + 1, 42}).status, Status::unauthorized);
  // Another pid namespace.
  EXPECT_EQ(ids.identifyPeer(PeerCredentials{::getuid(), 0}).status, Status::unidentified);

  procs.add(20, "/usr/bin/myeditor", {"myeditor"}, 500);
  procs.scripted[20].record.parentPid = 0;
  procs.scripted[20].record.ttyNr = 34816;
  const PeerCredentials peer{::getuid(), 20, -1};
  Admission ok = ids.identifyPeer(peer, 600);
  ASSERT_EQ(ok.status, Status::admitted);
  EXPECT_TRUE(ok.caller.isFirstSeen);
  EXPECT_TRUE(ids.stillConnected(peer, ok.caller));
  EXPECT_EQ(ids.identifyPeer(peer, 400).status, Status::unidentified);  // started after admission
  procs.dead.insert(20);
  EXPECT_EQ(ids.identifyPeer(peer, 600).status, Status::unidentified);
  EXPECT_FALSE(ids.stillConnected(peer, ok.caller));
  procs.dead.clear();
  procs.scripted[20].record.state = 'Z';
  EXPECT_FALSE(ids.stillConnected(peer, ok.caller));
  EXPECT_EQ(ids.identifyPeer(peer, 600).status, Status::unidentified);
  procs.scripted[20].record.state = 'S';
  procs.scripted[20].record.startTime = 550;  // the pid now names another process
  EXPECT_FALSE(ids.stillConnected(peer, ok.caller));
  procs.scripted.erase(20);
  EXPECT_EQ(ids.identifyPeer(PeerCredentials{::getuid(), 999999999, -1}).status, Status::unidentified);
}

// A sandbox's socket serves the sandbox's processes only: whatever descends from the tool
// that runs it, under the sandbox's name; another process of the user is nobody there.
TEST(CallerLogic, ASandboxSocketAdmitsOnlyTheSandboxsOwnProcesses) {
  using Status = Admission::Status;
  TempDir dir;
  TestProcesses procs;
  CallerIdentifier ids(procs, dir.file("known.json"), "/home/u");
  procs.add(300, "/usr/bin/caskel", {"caskel", "sandbox"}, 50);
  procs.add(301, "/usr/bin/bwrap", {"bwrap"}, 51);
  procs.add(302, "/usr/bin/node", {"node", "cli.js"}, 52);
  procs.add(400, "/usr/bin/claude", {"claude"}, 60);  // outside, beside it
  procs.scripted[301].record.parentPid = 300;
  procs.scripted[302].record.parentPid = 301;
  const SandboxIdentity sandbox{"claude", "/home/u/src/api", 300, 50};

  Admission inside = ids.identifySandboxed(PeerCredentials{::getuid(), 302, -1}, sandbox);
  ASSERT_EQ(inside.status, Status::admitted);
  EXPECT_EQ(inside.caller.description("/home/u"), "via claude [AI agent, sandboxed] in ~/src/api");
  EXPECT_TRUE(inside.caller.treatedAsAgent());
  EXPECT_EQ(inside.caller.binding().resolvedPid, 300) << "sessions belong to the sandbox, not to one process";

  EXPECT_EQ(ids.identifySandboxed(PeerCredentials{::getuid(), 400, -1}, sandbox).status,
            Status::unidentified);
  EXPECT_EQ(ids.identifySandboxed(PeerCredentials{::getuid() + 1, 302, -1}, sandbox).status,
            Status::unauthorized);
  procs.scripted[300].record.startTime = 70;  // the tool's pid reused by another process
  EXPECT_EQ(ids.identifySandboxed(PeerCredentials{::getuid(), 302, -1}, sandbox).status,
            Status::unidentified);
}

TEST(CallerLogic, InterpretersAreNamedByTheirScript) {
  TempDir dir;
  TestProcesses procs;
  CallerIdentifier ids(procs, dir.file("known.json"), "/home/u");
  procs.add(10, "/usr/bin/python3.11", {"python3.11", "-u", "-W", "ignore", "/home/u/.local/bin/codex"});
  procs.add(11, "/usr/bin/node", {"claude"});  // a program that retitled itself
  procs.add(12, "/usr/bin/node", {"node", "-e", "require('/x/bin/claude')"});
  procs.add(14, "/usr/bin/node", {"node", "/srv/tools/build.js"});
  EXPECT_EQ(ids.processName(10), "codex");
  EXPECT_EQ(ids.processName(11), "claude");
  EXPECT_EQ(ids.processName(12), "node");
  EXPECT_EQ(ids.processName(14), "node");
  EXPECT_FALSE(ids.processName(-5));

  // Facts are cached per process: a second look reads no command line ...
  const int reads = procs.commandLineReads;
  EXPECT_EQ(ids.processName(10), "codex");
  EXPECT_EQ(procs.commandLineReads, reads);
  // ... but a reused pid (new start time) or an exec (new executable) is looked at afresh.
  procs.add(10, "/usr/bin/python3", {"python3", "/srv/job.py"}, 200);
  EXPECT_EQ(ids.processName(10), "python3");
  procs.add(14, "/usr/bin/nodejs", {"nodejs", "/x/bin/claude"});
  EXPECT_EQ(ids.processName(14), "claude");
}

// Real process chains, read through /proc.
const std::string kProbe = test::buildPath("tests/process_probe");

// Installs a copy of the probe at dir/relative (a copy, not a link: /proc names the real file).
std::string probeCopy(const TempDir& dir, const std::string& relative) {
  std::filesystem::path target = dir.path() + "/" + relative;
  std::filesystem::create_directories(target.parent_path());
  std::filesystem::copy_file(kProbe, target, std::filesystem::copy_options::overwrite_existing);
  return target.string();
}

// A process chain started by the test with only PATH in its environment (`env` execs
// in place, so it sets up the chain's first process without adding one). The innermost
// probe reports its pid and lives until the chain is destroyed (its stdin closes).
struct Chain {
  pid_t child = -1;
  int32_t peer = 0;
  int input = -1;

  explicit Chain(std::vector<std::string> argv) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    if ((child = ::fork()) == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      char path[] = "PATH=/usr/bin:/bin";
      char* envp[] = {path, nullptr};
      ::execve(args[0], args.data(), envp);
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    input = in[1];
    std::string line;
    for (char c; ::read(out[0], &c, 1) == 1 && c != '\n';) line.push_back(c);
    ::close(out[0]);
    peer = line.empty() ? 0 : std::stoi(line);
  }
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;
  ~Chain() {
    if (input >= 0) ::close(input);
    if (child > 0) ::waitpid(child, nullptr, 0);
  }
};

class CallerChains : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kProbe.c_str(), X_OK) != 0) GTEST_SKIP() << "process_probe not built";
  }
  CallerIdentifier identifier() {
    return CallerIdentifier(procs, dir.file("config/known_callers.json"), "/home/u");
  }
  CallerInfo admit(CallerIdentifier& ids, int32_t pid) {
    Admission a = ids.identifyPeer(PeerCredentials{::getuid(), pid, -1});
    EXPECT_EQ(a.status, Admission::Status::admitted);
    return a.caller;
  }

  TempDir dir;
  TestProcesses procs;
};

TEST_F(CallerChains, ShellsAreSkippedToTheProgramBehindThem) {
  const std::string editor = probeCopy(dir, "myeditor");
  const std::string bash = probeCopy(dir, "bin/bash");
  const std::string work = dir.path();
  Chain chain({"/usr/bin/env", "-C", work, editor, "/bin/sh", "-c", "/bin/sh -c '" + bash + "; true'; true"});
  ASSERT_GT(chain.peer, 0);

  CallerIdentifier ids = identifier();
  CallerInfo info = admit(ids, chain.peer);
  EXPECT_EQ(info.name, "myeditor");
  EXPECT_EQ(info.resolvedPid, chain.child);
  EXPECT_EQ(info.resolvedPath, editor);
  EXPECT_EQ(info.cwd, work);
  EXPECT_EQ(info.resolvedStartTime, ProcessInfo::system().record(chain.child)->startTime);
  EXPECT_TRUE(info.isFirstSeen);
  EXPECT_FALSE(info.isAgent);
  EXPECT_FALSE(info.detached);

  // Kept privately, with the first contact in seconds since 2001.
  const std::string known = dir.file("config/known_callers.json");
  EXPECT_EQ(test::modeOf(known), 0600);
  EXPECT_EQ(test::modeOf(dir.file("config")), 0700);
  auto entry = nlohmann::json::parse(test::readText(known))[editor];
  EXPECT_EQ(entry["path"], editor);
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_NEAR(entry["firstSeen"].get<double>(), now - 978307200.0, 3600);

  // The second contact is not first seen, also for a new identifier that loads the file.
  EXPECT_FALSE(admit(ids, chain.peer).isFirstSeen);
  CallerIdentifier restarted = identifier();
  restarted.loadKnownCallers();
  EXPECT_FALSE(admit(restarted, chain.peer).isFirstSeen);
}

TEST_F(CallerChains, ANodeRunClaudeIsNamedClaude) {
  const char* node = "/usr/bin/node";
  if (::access(node, X_OK) != 0) GTEST_SKIP() << "node is not installed";
  const std::string script = dir.file("lib/node_modules/.bin/claude");
  std::filesystem::create_directories(std::filesystem::path(script).parent_path());
  test::writeText(script,
                  "require('child_process').spawn(process.argv[2], [], {stdio: 'inherit'})"
                  ".on('exit', (code) => process.exit(code));\n");
  Chain chain({node, script, probeCopy(dir, "bin/bash")});
  ASSERT_GT(chain.peer, 0);
  CallerInfo info = identifier().identifyPid(chain.peer).value_or(CallerInfo{});
  EXPECT_EQ(info.name, "claude");
  EXPECT_EQ(info.resolvedPid, chain.child);
  EXPECT_TRUE(info.isAgent);
}

// The caller rules on recorded process trees: who is named, who counts as an agent, and who has
// detached, decided on the snapshot alone.
struct Proc {
  int32_t pid;
  std::string name;  // empty: the name could not be read
  int32_t tty = 0;
  int32_t session = 0;  // 0: the session of the process below it (its child) in the list
  bool marked = false;
};

constexpr int32_t kPts = 34816;

// chain[0] is the connecting process; each next one its parent. The last one's parent is the
// system's first process unless `topParent` says otherwise.
ProcessSnapshot tree(const std::vector<Proc>& procs, int32_t topParent = 1) {
  ProcessSnapshot s;
  int32_t session = 100;
  for (size_t i = 0; i < procs.size(); ++i) {
    ProcessEntry e;
    e.record.pid = procs[i].pid;
    e.record.parentPid = i + 1 < procs.size() ? procs[i + 1].pid : topParent;
    e.record.ttyNr = procs[i].tty;
    if (procs[i].session) session = procs[i].session;
    e.record.session = session;
    e.record.startTime = 1000 + procs[i].pid;
    if (!procs[i].name.empty()) e.name = procs[i].name;
    e.executable = "/usr/bin/" + procs[i].name;
    e.marked = procs[i].marked;
    s.chain.push_back(e);
  }
  return s;
}

// `count` shells in a terminal, the first of them the peer, under an editor.
std::vector<Proc> shellsUnderEditor(int count) {
  std::vector<Proc> procs;
  for (int i = 0; i < count; ++i) procs.push_back({100 - i, "bash", kPts});
  procs.push_back({50, "myeditor", kPts});
  return procs;
}

// "index name [agent] [detached] [tty [bound]]" of the process the caller is resolved to; "bound"
// when the connecting process's own terminal binds its sessions.
std::string verdict(const ProcessSnapshot& snapshot) {
  CallerVerdict v = classifyCaller(snapshot);
  return std::to_string(v.resolved) + " " + v.name + (v.isAgent ? " agent" : "") +
         (v.detached ? " detached" : "") + (v.hasTTY ? " tty" : "") +
         (v.terminal == 0      ? ""
          : v.terminal == kPts ? " bound"
                               : " elsewhere");
}

TEST(CallerRules, NamingAgentsAndDetachment) {
  std::pair<const char*, std::vector<Proc>> rows[] = {
      // The user's shell in a terminal is named after the terminal program.
      {"2 ghostty tty bound", {{50, "caskel", kPts}, {40, "zsh", kPts}, {30, "ghostty"}}},
      // An agent's marked shell: the agent is named, not its shell, and the walk ends there.
      {"2 claude agent tty bound",
       {{50, "caskel", kPts, 0, true}, {40, "bash", kPts, 0, true}, {30, "claude"}, {20, "zsh"}}},
      // A program between the agent and the tool does not hide the agent.
      {"4 claude agent", {{50, "caskel"}, {45, "bash"}, {40, "vim"}, {35, "bash"}, {30, "claude"}}},
      // A marked interpreter under the user's own program is the agent: the walk stops there
      // instead of reaching the program (and its session).
      {"1 python3 agent tty bound",
       {{50, "caskel", kPts, 0, true}, {40, "python3", kPts, 0, true}, {30, "myeditor"}}},
      // Nine shells above the peer: the tenth step reaches the editor; with eleven it ends on one.
      {"10 myeditor tty bound", shellsUnderEditor(10)},
      {"10 bash tty bound", shellsUnderEditor(12)},
      // An unreadable name stops the walk.
      {"0 caskel tty bound", {{50, "caskel", kPts}, {40, "", kPts}}},
      // Double fork and setsid: the session is the dead middle process's, the parent a reaper.
      {"0 caskel detached", {{50, "caskel", 0, 48}, {7, "tmux: server", 0, 7}}},
      // Adopted by the first process directly.
      {"0 caskel detached", {{50, "caskel"}}},
      // A detached interpreter running the tool: caught there, never resolved to the reaper.
      {"1 python3 detached", {{51, "caskel", 0, 49}, {50, "python3", 0, 49}, {9, "systemd", 0, 9}}},
      // A service's shell (its own session, started by the service manager) is detached too.
      {"1 bash detached", {{51, "caskel", 0, 50}, {50, "bash", 0, 50}, {9, "systemd", 0, 9}}},
      // A terminal, or a parent in the same session, is no detachment.
      {"1 systemd tty bound", {{50, "caskel", kPts, 48}, {7, "systemd", 0, 7}}},
      {"2 code", {{51, "caskel"}, {50, "bash"}, {40, "code"}, {9, "systemd", 0, 9}}},
      // A terminal further up is seen, but only the connecting process's own binds sessions.
      {"2 myeditor tty", {{50, "caskel"}, {40, "bash", kPts}, {30, "myeditor"}}},
      // A program that started its own session is followed as usual.
      {"1 myeditor", {{51, "caskel", 0, 51}, {40, "myeditor", 0, 40}}},
  };
  for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(verdict(tree(rows[i].second)), rows[i].first) << i;
  // Its parent vanished while it was read: nothing vouches for it.
  EXPECT_EQ(verdict(tree({{51, "caskel"}, {50, "bash"}}, 77)), "1 bash detached");
}

}  // namespace
}  // namespace caskel
