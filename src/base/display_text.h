#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace caskel {

// Text a caller controls (process names, paths, working directories), made safe to show the
// user in a prompt or write to a log: invalid UTF-8, control characters (line breaks and
// escape sequences included), bidirectional overrides and zero-width characters each become a
// visible U+FFFD, so a caller cannot forge lines, reorder or hide what the user reads. Text
// longer than `maxCharacters` code points keeps its start and end around a "…".
std::string displaySafe(std::string_view text, size_t maxCharacters);

// Limits of the texts that prompts show.
inline constexpr size_t kMaxShownName = 40;
inline constexpr size_t kMaxShownPath = 60;
inline constexpr size_t kMaxShownKey = 120;

}  // namespace caskel
