#pragma once

#include <nlohmann/json.hpp>
#include <optional>

#include "base/agent_fragment.h"

namespace caskel::cli {

// The payload of a "get" reply whose "value" is "__encrypted__" ("ct", "k", "iv", "kn");
// nullopt when a piece is missing or malformed, so nothing is written from a broken reply.
std::optional<AgentPayload> agentPayloadFromReply(const nlohmann::json& reply);

}  // namespace caskel::cli
