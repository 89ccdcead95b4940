#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace caskel {

// Standard base64 with padding and no line breaks; decoding refuses anything outside that form.
std::string base64Encode(std::string_view bytes);
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace caskel
