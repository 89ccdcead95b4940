#pragma once

#include <optional>

#include "store/secret_metadata.h"

namespace caskel {

// What a row's share button shows: idle, "just copied", or the seconds left of the copy.
struct ShareIndicator {
  enum class Kind { idle, copied, countdown };
  enum class Tone { secondary, green, red };
  Kind kind = Kind::idle;
  int remaining = 0;  // seconds, for a countdown
  Tone tone = Tone::secondary;
  const char* symbol = "doc.on.doc";  // for idle and copied; null for a countdown

  bool operator==(const ShareIndicator&) const = default;
};

inline constexpr int kShareCountdownSeconds = 60;

// Read from the clock on every paint, never from a tick count, so a late timer cannot skew it.
ShareIndicator shareIndicator(std::optional<Clock::time_point> sharedAt, Clock::time_point now);

}  // namespace caskel
