#include "cli/agent_payload.h"

#include <string>

namespace caskel::cli {

namespace {
std::optional<std::string> jsonText(const nlohmann::json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}
}  // namespace

std::optional<AgentPayload> agentPayloadFromReply(const nlohmann::json& reply) {
  auto ct = jsonText(reply, "ct");
  auto k = jsonText(reply, "k");
  auto iv = jsonText(reply, "iv");
  auto kn = jsonText(reply, "kn");
  if (!ct || !k || !iv || !kn) return std::nullopt;
  AgentPayload p{std::move(*ct), std::move(*k), std::move(*iv), std::move(*kn)};
  if (!isWellFormed(p)) return std::nullopt;
  return p;
}

}  // namespace caskel::cli
