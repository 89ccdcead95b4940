#include "views/share_indicator.h"

#include <chrono>

namespace caskel {

ShareIndicator shareIndicator(std::optional<Clock::time_point> sharedAt, Clock::time_point now) {
  using Kind = ShareIndicator::Kind;
  using Tone = ShareIndicator::Tone;
  if (!sharedAt) return {};
  // Whole seconds, truncated toward zero; a clock set back reads as just copied.
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - *sharedAt).count();
  if (elapsed >= kShareCountdownSeconds) return {};
  if (elapsed < 1) return {Kind::copied, 0, Tone::green, "checkmark.circle.fill"};
  const int remaining = kShareCountdownSeconds - static_cast<int>(elapsed);
  return {Kind::countdown, remaining, remaining < 11 ? Tone::red : Tone::green, nullptr};
}

}  // namespace caskel
