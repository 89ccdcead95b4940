#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace caskel {

// Strict UTF-8 throughout: overlong forms, surrogates and values above U+10FFFF are malformed.

// Length of the well-formed sequence starting at `i` (1 to 4), or 0 when the bytes there are
// not one, or are cut short by the end of `text`.
size_t utf8SequenceLength(std::string_view text, size_t i);

bool isValidUtf8(std::string_view text);

// The code point at `i`, advancing `i` past it; a malformed sequence gives U+FFFD and consumes
// one byte, so decoding resynchronises on the next.
char32_t decodeUtf8(std::string_view text, size_t& i);

// `text` with each byte that starts no well-formed sequence replaced by U+FFFD, so that it can
// go into JSON, logs and prompts.
std::string sanitizeUtf8(std::string_view text);

inline constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace caskel
