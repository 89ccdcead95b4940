#include "base/duration.h"

#include <gtest/gtest.h>

#include <utility>

namespace caskel {
namespace {

TEST(Duration, ParsesTheFormsPeopleTypeAndRefusesTyposInsteadOfGuessing) {
  const std::pair<const char*, int64_t> forms[] = {{"8h", 8 * 3600}, {"90m", 90 * 60}, {"45s", 45},
                                                   {"1h30m", 5400},  {"1h 30m", 5400}, {"2d", 2 * 86400},
                                                   {"3600", 3600},   {"1H", 3600}};
  for (auto [text, seconds] : forms) EXPECT_EQ(parseDuration(text), seconds) << text;
  for (const char* bad : {"", " ", "0", "0h", "h", "8x", "-5m", "1h30", "30m1h", "1h1h", "8 h", "1.5h",
                          "99999999999999999999", "400d"}) {
    EXPECT_FALSE(parseDuration(bad).has_value()) << bad;
  }
}

TEST(Duration, FormatsLikeTheServerPrompt) {
  const std::pair<int64_t, const char*> forms[] = {
      {14400, "4h"}, {5400, "1h 30m"}, {3659, "1h"}, {90, "1m"}, {45, "45s"}};
  for (auto [seconds, text] : forms) EXPECT_EQ(formatDuration(seconds), text) << seconds;
}

}  // namespace
}  // namespace caskel
