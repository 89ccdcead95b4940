#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace caskel {

// A time-out typed by a person: "8h", "90m", "45s", "1h30m", "1h 30m", "2d" or plain seconds
// ("3600"). Nullopt for anything else, for zero, and for more than a year: a typo should fail
// loudly rather than open a session for ever.
std::optional<int64_t> parseDuration(std::string_view text);

// The short form the server uses in its prompts: 4h, 1h 30m, 5m, 45s.
std::string formatDuration(int64_t seconds);

}  // namespace caskel
