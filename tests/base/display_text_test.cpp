#include "base/display_text.h"

#include <gtest/gtest.h>

namespace caskel {
namespace {

TEST(DisplayText, HiddenAndControlCharactersBecomeVisibleMarks) {
  EXPECT_EQ(displaySafe("acme/api", 60), "acme/api");
  EXPECT_EQ(displaySafe("caf\xC3\xA9 \xE6\x97\xA5", 60), "caf\xC3\xA9 \xE6\x97\xA5");
  // Line breaks, ESC, DEL and C1 controls (a single-byte CSI) cannot forge or erase lines.
  EXPECT_EQ(displaySafe("a\nb\r\tc\x1b[1A\x7f\xC2\x9B", 60), "a\uFFFDb\uFFFD\uFFFDc\uFFFD[1A\uFFFD\uFFFD");
  // Bidirectional overrides, isolates, zero-width and BOM characters cannot reorder or hide.
  EXPECT_EQ(displaySafe("x\u202Ey\u2066z\u200Bw\uFEFFv\u061Cu", 60), "x\uFFFDy\uFFFDz\uFFFDw\uFFFDv\uFFFDu");
  // Invalid UTF-8, overlong forms and surrogates.
  EXPECT_EQ(displaySafe("\xFF\xC0\xAF\xED\xA0\x80", 60), "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
}

TEST(DisplayText, LongTextKeepsBothEnds) {
  EXPECT_EQ(displaySafe("abcdefghij", 10), "abcdefghij");
  EXPECT_EQ(displaySafe("abcdefghijk", 10), "abcd\u2026ghijk");
  // Counted in characters, never cutting one apart.
  EXPECT_EQ(displaySafe("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 4), "\xC3\xA9\u2026\xC3\xA9\xC3\xA9");
  EXPECT_EQ(displaySafe(std::string(5000, 'x'), kMaxShownPath).size(), kMaxShownPath - 1 + 3);
}

}  // namespace
}  // namespace caskel
