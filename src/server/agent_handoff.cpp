#include "server/agent_handoff.h"

namespace caskel {

WrappedValue agentWrap(std::string_view account, std::string_view value, bool isAgent) {
  if (!isAgent) return WrappedValue{std::string(value), nullptr};
  if (auto payload = encryptForAgent(account, value)) {
    return WrappedValue{"__encrypted__", nlohmann::json{{"agent", true},
                                                        {"encrypted", true},
                                                        {"ct", payload->ciphertext},
                                                        {"k", payload->key},
                                                        {"iv", payload->iv},
                                                        {"kn", payload->name}}};
  }
  return WrappedValue{"__error__",
                      nlohmann::json{{"agent", true}, {"error", "Server-side encryption failed"}}};
}

}  // namespace caskel
