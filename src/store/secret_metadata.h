#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace caskel {

using Clock = std::chrono::system_clock;

// The optional descriptive fields of a secret. Absent is distinct from empty.
struct SecretMetadata {
  std::optional<std::string> type;
  std::optional<std::string> bundle;
  std::optional<std::string> desc;
  std::optional<std::string> expires;  // yyyy-MM-dd
  std::optional<std::string> peek;     // a short prefix of the value (peekOf); none when strict
  std::optional<bool> strict;          // every read prompts; never cached
  std::optional<std::string> rotate;   // free-text rotation note

  bool operator==(const SecretMetadata&) const = default;

  // Compact JSON with exactly the present fields; absent fields are omitted, never null.
  std::string toJson() const;
  // Accepts any subset of the known keys; unknown keys are ignored; null counts as absent.
  // A wrong JSON type for a known key, or text that is not a JSON object, fails the whole decode.
  static std::optional<SecretMetadata> fromJson(std::string_view json);

  // `expires` as local midnight of that day; nothing when absent or not a real yyyy-MM-dd date.
  std::optional<Clock::time_point> expiryDate() const;
  // Expired already, or expiring no later than `now` plus `withinDays` calendar days.
  bool isExpiring(int withinDays, Clock::time_point now = Clock::now()) const;
  bool isExpired(Clock::time_point now = Clock::now()) const;
};

// One entry of a listing.
struct SecretInfo {
  std::string account;
  std::optional<SecretMetadata> metadata;
  bool operator==(const SecretInfo&) const = default;
};

// The first `count` user-perceived characters (grapheme clusters) of `text`; never splits a
// UTF-8 sequence, a combining sequence, an emoji ZWJ sequence or a flag pair.
std::string firstCharacters(std::string_view text, size_t count);
// The peek kept in clear beside a value of n user-perceived characters: its first n/4, at most
// 8, so that it never gives away most of the value; none when n is below 8.
std::optional<std::string> peekOf(std::string_view value);
// Number of user-perceived characters in `text`.
size_t characterCount(std::string_view text);

}  // namespace caskel
