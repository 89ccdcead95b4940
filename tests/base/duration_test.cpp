#include "base/duration.h"

#include <gtest/gtest.h>

namespace caskel {
namespace {

TEST(Duration, ParsesTheFormsPeopleType) {
  EXPECT_EQ(parseDuration("8h"), 8 * 3600);
  EXPECT_EQ(parseDuration("90m"), 90 * 60);
  EXPECT_EQ(parseDuration("45s"), 45);
  EXPECT_EQ(parseDuration("1h30m"), 5400);
  EXPECT_EQ(parseDuration("1h 30m"), 5400);
  EXPECT_EQ(parseDuration("2d"), 2 * 86400);
  EXPECT_EQ(parseDuration("3600"), 3600);
  EXPECT_EQ(parseDuration("1H"), 3600);
}

TEST(Duration, RefusesTyposInsteadOfGuessing) {
  for (const char* bad : {"", " ", "0", "0h", "h", "8x", "-5m", "1h30", "30m1h", "1h1h", "8 h", "1.5h",
                          "99999999999999999999", "400d"}) {
    EXPECT_FALSE(parseDuration(bad).has_value()) << bad;
  }
}

TEST(Duration, FormatsLikeTheServerPrompt) {
  EXPECT_EQ(formatDuration(14400), "4h");
  EXPECT_EQ(formatDuration(5400), "1h 30m");
  EXPECT_EQ(formatDuration(3659), "1h");
  EXPECT_EQ(formatDuration(90), "1m");
  EXPECT_EQ(formatDuration(45), "45s");
}

}  // namespace
}  // namespace caskel
