#include "store/json_text.h"

#include <sodium.h>

namespace caskel {

std::string toCompactJson(const nlohmann::json& value) {
  std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  // A "/" can only occur inside a JSON string, so escaping every one is safe.
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '/') out += '\\';
    out += c;
  }
  sodium_memzero(text.data(), text.size());
  return out;
}

void wipeJsonStrings(nlohmann::json& value) {
  if (value.is_string()) {
    auto& text = value.get_ref<std::string&>();
    sodium_memzero(text.data(), text.size());
  } else if (value.is_structured()) {
    for (auto& item : value) wipeJsonStrings(item);
  }
}

}  // namespace caskel
