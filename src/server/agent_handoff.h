#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace caskel {

struct AgentPayload {
  std::string ciphertext;  // base64
  std::string key;         // 64 lower-case hex digits
  std::string iv;          // 32 lower-case hex digits
  std::string name;        // shell variable name
};

// The variable name for a key path: its last piece with every non-alphanumeric character
// made "_", with "_" in front when it starts with neither a letter nor "_".
std::string envVarName(std::string_view account);
// A value in single quotes, safe to source in a POSIX shell ('\'' for each quote).
std::string shellSingleQuote(std::string_view value);
std::optional<AgentPayload> encryptForAgent(std::string_view account, std::string_view value);

struct WrappedValue {
  std::string value;
  nlohmann::json extra;  // null when there is nothing to add
};
// The plain value for a non-agent; for an agent, "__encrypted__" and the payload keys (or
// "__error__" when encryption failed). Never a plain value to an agent.
WrappedValue agentWrap(std::string_view account, std::string_view value, bool isAgent);

}  // namespace caskel
