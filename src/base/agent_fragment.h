#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/base64.h"

namespace caskel {

// What an agent gets instead of a plain value: a shell fragment ("export NAME='value'" under a
// warning header) encrypted with AES-256-CBC under a fresh key. The server encrypts it, the
// tool's `run` decrypts it in its own process; both use this one definition.
struct AgentPayload {
  std::string ciphertext;  // base64 with padding, no line breaks
  std::string key;         // 64 lower-case hex digits
  std::string iv;          // 32 lower-case hex digits
  std::string name;        // shell variable name, from envVarName
};

// A fresh key and IV, the fragment for `account` and `value`, encrypted. The clear fragment is
// built in one exactly sized buffer and wiped. Nullopt when the random source or cipher fails.
std::optional<AgentPayload> encryptForAgent(std::string_view account, std::string_view value);

// True when every piece has its documented alphabet and length; the pieces end up in a shell
// script, so anything else is refused before use.
bool isWellFormed(const AgentPayload& payload);

// The value exported by the decrypted fragment; nullopt when the payload is malformed, does not
// decrypt, or its fragment does not export `payload.name` in the plain quoted form.
std::optional<std::string> decryptAgentValue(const AgentPayload& payload);

bool isLowerHex(std::string_view text, size_t length);

}  // namespace caskel
