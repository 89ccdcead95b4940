#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/agent_fragment.h"

namespace caskel {

struct WrappedValue {
  std::string value;
  nlohmann::json extra;  // null when there is nothing to add
};
// The plain value for a non-agent; for an agent, "__encrypted__" and the payload keys (or
// "__error__" when encryption failed). Never a plain value to an agent.
WrappedValue agentWrap(std::string_view account, std::string_view value, bool isAgent);

}  // namespace caskel
