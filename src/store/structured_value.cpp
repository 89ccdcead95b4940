#include "store/structured_value.h"

#include <sodium.h>

#include <nlohmann/json.hpp>

#include "store/json_text.h"

namespace caskel {
namespace {

using Json = nlohmann::json;

// Structured values hold secrets: zero the strings of the intermediate document before it is
// freed, so that only the caller's copy remains. Iterative, because the text may be any
// stored value, however deeply nested.
void wipeStrings(Json& root) {
  std::vector<Json*> pending{&root};
  while (!pending.empty()) {
    Json* json = pending.back();
    pending.pop_back();
    if (json->is_string()) {
      auto& text = json->get_ref<std::string&>();
      if (text.capacity() > 0) sodium_memzero(text.data(), text.capacity());
    } else if (json->is_structured()) {
      for (auto& item : *json) pending.push_back(&item);
    }
  }
}

std::string encodeWiping(Json json) {
  std::string text = toCompactJson(json);
  wipeStrings(json);
  return text;
}

// Parses without throwing; anything that is not JSON comes back discarded.
Json parseQuietly(std::string_view text) {
  return Json::parse(text.begin(), text.end(), nullptr, false);
}

std::optional<std::string> stringMember(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

std::string encodeApiKey(const ApiKeyValue& value) {
  Json json = {{"key", value.key}};
  if (value.secondary) json["secondary"] = *value.secondary;
  return encodeWiping(std::move(json));
}

std::optional<ApiKeyValue> decodeApiKey(std::string_view text) {
  Json json = parseQuietly(text);
  std::optional<ApiKeyValue> result;
  if (json.is_object()) {
    auto key = stringMember(json, "key");
    const auto secondary = json.find("secondary");
    const bool secondaryOk = secondary == json.end() || secondary->is_null() || secondary->is_string();
    if (key && secondaryOk) {
      result = ApiKeyValue{std::move(*key), std::nullopt};
      if (secondary != json.end() && secondary->is_string())
        result->secondary = secondary->get<std::string>();
    }
  }
  wipeStrings(json);
  return result;
}

std::string encodeLogin(const LoginValue& value) {
  return encodeWiping(Json{{"password", value.password}, {"username", value.username}});
}

std::optional<LoginValue> decodeLogin(std::string_view text) {
  Json json = parseQuietly(text);
  std::optional<LoginValue> result;
  if (json.is_object()) {
    auto username = stringMember(json, "username");
    auto password = stringMember(json, "password");
    if (username && password) result = LoginValue{std::move(*username), std::move(*password)};
  }
  wipeStrings(json);
  return result;
}

std::string encodeRecoveryCodes(const std::vector<std::string>& codes) {
  Json json = Json::array();
  for (const auto& code : codes) json.push_back(code);
  return encodeWiping(std::move(json));
}

std::optional<std::vector<std::string>> decodeRecoveryCodes(std::string_view text) {
  Json json = parseQuietly(text);
  std::optional<std::vector<std::string>> result;
  if (json.is_array()) {
    std::vector<std::string> codes;
    bool allStrings = true;
    for (const auto& item : json) {
      if (!item.is_string()) {
        allStrings = false;
        break;
      }
      codes.push_back(item.get<std::string>());
    }
    if (allStrings) {
      result = std::move(codes);
    } else {
      for (auto& code : codes) sodium_memzero(code.data(), code.capacity());
    }
  }
  wipeStrings(json);
  return result;
}

}  // namespace caskel
