// The caller rules on recorded process trees: who is named, who counts as an agent, and who has
// detached, decided on the snapshot alone.
#include "server/process_snapshot.h"

#include <gtest/gtest.h>

namespace caskel {
namespace {

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
