#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/process_info.h"

namespace caskel {

// One process of a caller's ancestry as read once from /proc.
struct ProcessEntry {
  ProcessRecord record;
  std::optional<std::string> executable;  // none when /proc/PID/exe could not be read
  std::optional<std::string> name;        // display name (an interpreter's by its script)
  bool marked = false;                    // carries one of the agent marker variables
};

// A caller's ancestry, pinned to its connection: chain[0] is the process that connected, each
// next entry the parent of the one before, up to kMaxDepth processes or the system's first
// process. Every rule about the caller decides on this data alone, so the rules can be tested
// on recorded trees without touching /proc.
struct ProcessSnapshot {
  static constexpr size_t kMaxDepth = 20;
  std::vector<ProcessEntry> chain;
};

// What the rules conclude from a snapshot.
struct CallerVerdict {
  size_t resolved = 0;  // index into chain of the process the caller runs for
  std::string name;     // that process's display name (the agent's, for an agent)
  bool isAgent = false;
  bool detached = false;
  bool hasTTY = false;
  int32_t terminal = 0;  // the connecting process's controlling terminal (0: none)
};

// The naming, agent and detachment rules:
// - Shells and interpreters are skipped to reach the program behind them (at most ten steps),
//   but the walk never passes a detached process or the agent.
// - The agent is the first process named as one; failing that, the highest process carrying
//   an agent marker variable. An agent caller is resolved to and named after it.
// - A process has detached when it has no terminal and hangs off something that did not start
//   it: its parent is the first process (or outside our view), lives in another session, or is
//   a service manager that adopts orphans. Checked for the caller and the wrappers it runs in.
// Requires a non-empty chain.
CallerVerdict classifyCaller(const ProcessSnapshot& snapshot);

}  // namespace caskel
