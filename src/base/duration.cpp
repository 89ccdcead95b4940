#include "base/duration.h"

#include <cctype>

namespace caskel {

namespace {
constexpr int64_t kMaxSeconds = 366LL * 24 * 3600;
}

std::optional<int64_t> parseDuration(std::string_view text) {
  size_t i = 0;
  auto skipSpaces = [&] {
    while (i < text.size() && text[i] == ' ') ++i;
  };
  skipSpaces();
  if (i == text.size()) return std::nullopt;
  int64_t total = 0;
  bool sawUnit = false;
  bool sawBare = false;
  // Units must appear largest first and at most once each, so "30m1h" or "1h1h" is a typo.
  int lastRank = 99;
  while (i < text.size()) {
    size_t start = i;
    int64_t number = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      number = number * 10 + (text[i] - '0');
      if (number > kMaxSeconds) return std::nullopt;
      ++i;
    }
    if (i == start) return std::nullopt;
    if (i == text.size()) {
      // A bare number is seconds, but only on its own ("90"), never after units ("1h30").
      if (sawUnit) return std::nullopt;
      total = number;
      sawBare = true;
      break;
    }
    int64_t unit = 0;
    int rank = 0;
    switch (std::tolower(static_cast<unsigned char>(text[i]))) {
      case 'd':
        unit = 86400;
        rank = 3;
        break;
      case 'h':
        unit = 3600;
        rank = 2;
        break;
      case 'm':
        unit = 60;
        rank = 1;
        break;
      case 's':
        unit = 1;
        rank = 0;
        break;
      default:
        return std::nullopt;
    }
    if (rank >= lastRank) return std::nullopt;
    lastRank = rank;
    ++i;
    total += number * unit;
    if (total > kMaxSeconds) return std::nullopt;
    sawUnit = true;
    skipSpaces();
  }
  if (!sawUnit && !sawBare) return std::nullopt;
  if (total <= 0 || total > kMaxSeconds) return std::nullopt;
  return total;
}

std::string formatDuration(int64_t seconds) {
  int64_t s = seconds < 0 ? 0 : seconds;
  if (s >= 3600) {
    int64_t h = s / 3600;
    int64_t r = s % 3600;
    if (r < 60) return std::to_string(h) + "h";
    return std::to_string(h) + "h " + std::to_string(r / 60) + "m";
  }
  if (s < 60) return std::to_string(s) + "s";
  return std::to_string(s / 60) + "m";
}

}  // namespace caskel
