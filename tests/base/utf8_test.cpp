#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace caskel {
namespace {

// Every boundary of the strict form: each malformed case must be refused by the check, give one
// U+FFFD per offending byte when sanitised, and decode to U+FFFD.
TEST(Utf8, StrictFormAtItsBoundaries) {
  const struct {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ascii", true},
      {"\xC2\x80", true},           // U+0080, the first two-byte value
      {"\xDF\xBF", true},           // U+07FF
      {"\xE0\xA0\x80", true},       // U+0800
      {"\xED\x9F\xBF", true},       // U+D7FF, just below the surrogates
      {"\xEE\x80\x80", true},       // U+E000, just above them
      {"\xF0\x90\x80\x80", true},   // U+10000
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF, the last value
      {"\xC0\xAF", false},          // overlong "/"
      {"\xC1\xBF", false},          // overlong
      {"\xE0\x9F\xBF", false},      // overlong three-byte
      {"\xED\xA0\x80", false},      // surrogate U+D800
      {"\xF0\x8F\xBF\xBF", false},  // overlong four-byte
      {"\xF4\x90\x80\x80", false},  // U+110000
      {"\xF5\x80\x80\x80", false},  // lead byte beyond the range
      {"\x80", false},              // lone continuation
      {"\xE2\x82", false},          // cut short
      {"\xE2\x28\xA1", false},      // continuation missing in the middle
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
    EXPECT_EQ(sanitizeUtf8(c.bytes) == c.bytes, c.valid) << testing::PrintToString(c.bytes);
    size_t i = 0;
    const char32_t first = c.bytes.empty() ? 0 : decodeUtf8(c.bytes, i);
    if (!c.valid) {
      EXPECT_EQ(first, 0xFFFDu) << testing::PrintToString(c.bytes);
      EXPECT_EQ(i, 1u);
    }
  }
}

TEST(Utf8, SanitisingReplacesEachBadByteAndKeepsTheRest) {
  EXPECT_EQ(sanitizeUtf8("a\xFF"
                         "b\xE2\x82"),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(sanitizeUtf8("caf\xC3\xA9 \xED\xA0\x80"), "caf\xC3\xA9 \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  std::string text = "\xF0\x9F\x94\x91k";
  size_t i = 0;
  EXPECT_EQ(decodeUtf8(text, i), U'\U0001F511');
  EXPECT_EQ(i, 4u);
  EXPECT_EQ(decodeUtf8(text, i), U'k');
}

}  // namespace
}  // namespace caskel
