#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace caskel::cli {

// The encrypted reply the server gives an agent for "get": "ct" (base64 AES-256-CBC of a
// shell fragment), "k" and "iv" (hex) and "kn" (the variable name).
struct AgentPayload {
  std::string ciphertext;
  std::string key;
  std::string iv;
  std::string name;

  // From a "get" reply whose "value" is "__encrypted__"; nullopt when a piece is missing or
  // malformed (so nothing is written from a broken reply).
  static std::optional<AgentPayload> fromReply(const nlohmann::json& reply);
};

// Decrypts the payload in this process and returns the exported value; used by `run`, which
// hands values to a child without showing them.
std::optional<std::string> decryptAgentValue(const AgentPayload& payload);

std::optional<std::string> base64Decode(std::string_view text);
std::string base64Encode(std::string_view bytes);
bool isLowerHex(std::string_view text, size_t length);

}  // namespace caskel::cli
