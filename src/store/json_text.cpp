#include "store/json_text.h"

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
  return out;
}

}  // namespace caskel
