#include "server/request_framing.h"

#include <nlohmann/json.hpp>

namespace caskel {

bool isCompleteRequest(std::string_view bytes) {
  size_t end = bytes.find_last_not_of(" \t\r\n");
  if (end == std::string_view::npos) return false;
  if (bytes[end] != '}' && bytes[end] != ']') return false;
  return nlohmann::json::accept(bytes.begin(), bytes.end());
}

}  // namespace caskel
