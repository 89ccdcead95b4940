#include "app/known_agents.h"

namespace caskel {

namespace {

constexpr KnownAgent kAgents[] = {
    {"Claude Code", "cpu", ".claude"},
    {"Cursor", "cursorarrow.rays", ".cursor"},
    {"Windsurf", "wind", ".windsurf"},
    {"Codex", "chevron.left.forwardslash.chevron.right", ".codex"},
};

}  // namespace

std::span<const KnownAgent> knownAgents() {
  return kAgents;
}

std::vector<DetectedAgent> detectAgents(const std::string& home,
                                        const std::function<bool(const std::string&)>& exists) {
  std::vector<DetectedAgent> out;
  for (const KnownAgent& agent : kAgents) out.push_back({&agent, exists(home + "/" + agent.folder)});
  return out;
}

}  // namespace caskel
