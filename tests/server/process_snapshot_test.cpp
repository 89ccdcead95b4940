// The caller rules on recorded process trees: who is named, who counts as an agent, and who has
// detached, decided on the snapshot alone.
#include "server/process_snapshot.h"

#include <gtest/gtest.h>

namespace caskel {
namespace {

struct Proc {
  int32_t pid;
  std::string name;
  int32_t tty = 0;
  int32_t session = 0;  // 0: the session of the process below it (its child) in the list
  bool marked = false;
};

// chain[0] is the connecting process; each next one its parent. The last one's parent is the
// system's first process unless `topParent` says otherwise.
ProcessSnapshot tree(std::vector<Proc> procs, int32_t topParent = 1) {
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
    e.name = procs[i].name;
    e.executable = "/usr/bin/" + procs[i].name;
    e.marked = procs[i].marked;
    s.chain.push_back(e);
  }
  return s;
}

constexpr int32_t kPts = 34816;

TEST(CallerRules, ShellsAreSkippedButNeverPastTheAgent) {
  // The user's shell in a terminal: named after the terminal program.
  CallerVerdict user = classifyCaller(tree({{50, "caskel", kPts}, {40, "zsh", kPts}, {30, "ghostty"}}));
  EXPECT_EQ(user.resolved, 2u);
  EXPECT_EQ(user.name, "ghostty");
  EXPECT_FALSE(user.isAgent || user.detached);
  EXPECT_EQ(user.terminal, kPts);

  // An agent's shell carries the marker; the agent is named, not its shell.
  CallerVerdict agent = classifyCaller(
      tree({{50, "caskel", kPts, 0, true}, {40, "bash", kPts, 0, true}, {30, "claude", kPts}, {20, "zsh", kPts}}));
  EXPECT_TRUE(agent.isAgent);
  EXPECT_EQ(agent.resolved, 2u);
  EXPECT_EQ(agent.name, "claude");

  // A program between the agent and the tool does not hide the agent.
  CallerVerdict between = classifyCaller(tree({{50, "caskel", kPts}, {45, "bash", kPts}, {40, "vim", kPts},
                                               {35, "bash", kPts}, {30, "claude", kPts}}));
  EXPECT_EQ(between.name, "claude");
  EXPECT_EQ(between.resolved, 4u);

  // An interpreter with the marker under the user's own program is the agent: the walk stops
  // there instead of reaching the program (and its session).
  CallerVerdict interpreted = classifyCaller(
      tree({{50, "caskel", kPts, 0, true}, {40, "python3", kPts, 0, true}, {30, "myeditor", kPts}}));
  EXPECT_TRUE(interpreted.isAgent);
  EXPECT_EQ(interpreted.resolved, 1u);
  EXPECT_EQ(interpreted.name, "python3");
}

TEST(CallerRules, DetachedCallersAreCaughtAtTheirDetachPoint) {
  // Double fork and setsid: the session is the dead middle process's, the parent a reaper.
  CallerVerdict orphan = classifyCaller(tree({{50, "caskel", 0, 48}, {7, "tmux: server", 0, 7}}));
  EXPECT_TRUE(orphan.detached);
  EXPECT_EQ(orphan.resolved, 0u);
  EXPECT_EQ(orphan.name, "caskel");

  // Adopted by the first process directly.
  EXPECT_TRUE(classifyCaller(tree({{50, "caskel"}})).detached);

  // A detached interpreter running the tool: caught there, never resolved to the reaper.
  CallerVerdict script = classifyCaller(tree({{51, "caskel", 0, 49}, {50, "python3", 0, 49}, {9, "systemd", 0, 9}}));
  EXPECT_TRUE(script.detached);
  EXPECT_EQ(script.resolved, 1u);

  // A service's shell (its own session, started by the service manager) is detached too.
  EXPECT_TRUE(classifyCaller(tree({{51, "caskel", 0, 50}, {50, "bash", 0, 50}, {9, "systemd", 0, 9}})).detached);

  // Its parent vanished while it was read: nothing vouches for it.
  ProcessSnapshot gone = tree({{51, "caskel"}, {50, "bash"}}, 77);
  EXPECT_TRUE(classifyCaller(gone).detached);

  // A terminal, or a parent in the same session, is no detachment.
  EXPECT_FALSE(classifyCaller(tree({{50, "caskel", kPts, 48}, {7, "systemd", 0, 7}})).detached);
  CallerVerdict inEditor = classifyCaller(tree({{51, "caskel"}, {50, "bash"}, {40, "code"}, {9, "systemd", 0, 9}}));
  EXPECT_FALSE(inEditor.detached);
  EXPECT_EQ(inEditor.name, "code");
  // A program that started its own session is followed as usual.
  EXPECT_FALSE(classifyCaller(tree({{51, "caskel", 0, 51}, {40, "myeditor", 0, 40}})).detached);
}

TEST(CallerRules, TerminalAndUnreadableNames) {
  CallerVerdict v = classifyCaller(tree({{50, "caskel"}, {40, "bash", kPts}, {30, "myeditor"}}));
  EXPECT_TRUE(v.hasTTY);
  EXPECT_EQ(v.terminal, 0);  // the connecting process's own terminal binds sessions
  ProcessSnapshot unreadable = tree({{50, "caskel", kPts}, {40, "sudo", kPts}});
  unreadable.chain[1].name.reset();
  CallerVerdict stopped = classifyCaller(unreadable);
  EXPECT_EQ(stopped.resolved, 0u);
  EXPECT_EQ(stopped.name, "caskel");
}

}  // namespace
}  // namespace caskel
