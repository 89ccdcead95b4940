#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace caskel {

// The value layouts of three credential types. Encoded as compact JSON with sorted keys and
// "/" escaped; a value that does not parse as its layout is plain text (decoders give nothing).
struct ApiKeyValue {
  std::string key;
  std::optional<std::string> secondary;
  bool operator==(const ApiKeyValue&) const = default;
};

struct LoginValue {
  std::string username;
  std::string password;
  bool operator==(const LoginValue&) const = default;
};

std::string encodeApiKey(const ApiKeyValue& value);
std::optional<ApiKeyValue> decodeApiKey(std::string_view text);
std::string encodeLogin(const LoginValue& value);
std::optional<LoginValue> decodeLogin(std::string_view text);
std::string encodeRecoveryCodes(const std::vector<std::string>& codes);
std::optional<std::vector<std::string>> decodeRecoveryCodes(std::string_view text);

}  // namespace caskel
