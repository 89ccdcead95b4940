#include "server/process_snapshot.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "server/caller_info.h"

namespace caskel {

namespace {

// Processes that adopt orphans (the system's and the user's service managers, container inits).
constexpr std::array<std::string_view, 7> kReaperNames = {"systemd", "init",  "tini",     "dumb-init",
                                                          "catatonit", "s6-svscan", "runit"};

constexpr size_t kMaxWrapperSteps = 10;
constexpr size_t kTerminalDepth = 10;

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool hasParentAt(const ProcessSnapshot& s, size_t i) {
  return i + 1 < s.chain.size() && s.chain[i + 1].record.pid == s.chain[i].record.parentPid;
}

bool detachedAt(const ProcessSnapshot& s, size_t i) {
  const ProcessRecord& rec = s.chain[i].record;
  if (rec.ttyNr != 0) return false;
  if (rec.parentPid <= 1) return true;
  if (!hasParentAt(s, i)) {
    // The parent could not be read although the chain had room for it: it is exiting, and this
    // process is being handed to a reaper. Nothing vouches for it.
    return i + 1 < ProcessSnapshot::kMaxDepth;
  }
  const ProcessEntry& parent = s.chain[i + 1];
  if (parent.record.session == rec.session) return false;
  // A child starts in its parent's session unless it made its own (then it leads it); being in
  // a session that is neither means it was adopted after its real parent went away. A session
  // leader whose parent is a service manager was started or adopted by it: a service, a job.
  return rec.session != rec.pid ||
         (parent.name && std::find(kReaperNames.begin(), kReaperNames.end(), *parent.name) != kReaperNames.end());
}

std::string nameAt(const ProcessSnapshot& s, size_t i) {
  const ProcessEntry& e = s.chain[i];
  return e.name.value_or("pid " + std::to_string(e.record.pid));
}

std::optional<size_t> agentIndex(const ProcessSnapshot& s) {
  const size_t depth = std::min(s.chain.size(), ProcessSnapshot::kMaxDepth);
  for (size_t i = 0; i < depth; ++i) {
    if (s.chain[i].name && isAgentName(lowerAscii(*s.chain[i].name))) return i;
  }
  std::optional<size_t> highest;
  for (size_t i = 0; i < depth; ++i) {
    if (s.chain[i].marked) highest = i;
  }
  return highest;
}

}  // namespace

CallerVerdict classifyCaller(const ProcessSnapshot& s) {
  CallerVerdict v;
  v.terminal = s.chain[0].record.ttyNr;
  for (size_t i = 0; i < std::min(s.chain.size(), kTerminalDepth); ++i) {
    if (s.chain[i].record.ttyNr != 0) {
      v.hasTTY = true;
      break;
    }
  }
  const std::optional<size_t> agent = agentIndex(s);
  v.isAgent = agent.has_value();

  // The walk up through shells and interpreters.
  size_t i = 0;
  if (detachedAt(s, 0)) {
    v.detached = true;
  } else if (isWrapperName(nameAt(s, 0)) && agent != size_t{0}) {
    for (size_t step = 1; step <= kMaxWrapperSteps; ++step) {
      if (s.chain[i].record.parentPid < 2 || !hasParentAt(s, i) || !s.chain[i + 1].name) break;
      ++i;
      if (agent == i || step == kMaxWrapperSteps || !isWrapperName(nameAt(s, i))) break;
      if (detachedAt(s, i)) {
        v.detached = true;
        break;
      }
    }
  }
  // An agent further up is who really asks, whatever program sits in between.
  if (agent && *agent > i && !v.detached) i = *agent;
  v.resolved = i;
  v.name = nameAt(s, i);
  return v;
}

}  // namespace caskel
