// UTF-8, text shown to people, shell quoting and base64.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "base/base64.h"
#include "base/display_name.h"
#include "base/display_text.h"
#include "base/shell_text.h"
#include "base/utf8.h"

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
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(isValidUtf8(c.bytes), c.valid);
    EXPECT_EQ(sanitizeUtf8(c.bytes) == c.bytes, c.valid);
    size_t i = 0;
    const char32_t first = c.bytes.empty() ? 0 : decodeUtf8(c.bytes, i);
    if (!c.valid) {
      EXPECT_EQ(first, 0xFFFDu);
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

TEST(DisplayText, HiddenAndControlCharactersBecomeVisibleMarksAndLongTextKeepsBothEnds) {
  EXPECT_EQ(displaySafe("acme/api", 60), "acme/api");
  EXPECT_EQ(displaySafe("caf\xC3\xA9 \xE6\x97\xA5", 60), "caf\xC3\xA9 \xE6\x97\xA5");
  // Line breaks, ESC, DEL and C1 controls (a single-byte CSI) cannot forge or erase lines.
  EXPECT_EQ(displaySafe("a\nb\r\tc\x1b[1A\x7f\xC2\x9B", 60), "a\uFFFDb\uFFFD\uFFFDc\uFFFD[1A\uFFFD\uFFFD");
  // Bidirectional overrides, isolates, zero-width and BOM characters cannot reorder or hide.
  EXPECT_EQ(displaySafe("x\u202Ey\u2066z\u200Bw\uFEFFv\u061Cu", 60), "x\uFFFDy\uFFFDz\uFFFDw\uFFFDv\uFFFDu");
  // Invalid UTF-8, overlong forms and surrogates.
  EXPECT_EQ(displaySafe("\xFF\xC0\xAF\xED\xA0\x80", 60), "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(displaySafe("abcdefghij", 10), "abcdefghij");
  EXPECT_EQ(displaySafe("abcdefghijk", 10), "abcd\u2026ghijk");
  // Counted in characters, never cutting one apart.
  EXPECT_EQ(displaySafe("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 4), "\xC3\xA9\u2026\xC3\xA9\xC3\xA9");
  EXPECT_EQ(displaySafe(std::string(5000, 'x'), kMaxShownPath).size(), kMaxShownPath - 1 + 3);
}

TEST(DisplayName, NetworkDisplaysAreThoseWithAHost) {
  for (const char* local : {":0", ":1.0", "unix:0", "", "/tmp/.X11-unix/X0:0"}) {
    EXPECT_FALSE(displayReachedOverNetwork(local)) << local;
  }
  for (const char* remote : {"localhost:10.0", "host.example:0", "[::1]:0", "10.0.0.2:1"}) {
    EXPECT_TRUE(displayReachedOverNetwork(remote)) << remote;
  }
}

TEST(ShellText, VariableNames) {
  for (auto [account, name] : std::initializer_list<std::pair<const char*, const char*>>{
           {"acme/api/OPENAI_API_KEY", "OPENAI_API_KEY"},
           {"acme/db/primary-url.v2", "primary_url_v2"},
           {"acme/2fa/2FA_CODES", "_2FA_CODES"},
           {"acme/x/my key", "my_key"},
           {"acme/x/_private", "_private"},
           {"acme/x/", "x"},
           {"acme//web/", "web"},
           {"/", "_"}}) {
    EXPECT_EQ(envVarName(account), name) << account;
  }
}

// What the server quotes, the tool must read back exactly (the agent fragment's round trip, whose
// script has comment lines), and nothing else.
TEST(ShellText, QuotedValuesReadBack) {
  EXPECT_EQ(shellSingleQuote(""), "''");
  EXPECT_EQ(shellSingleQuote("it's"), "'it'\\''s'");
  for (const char* refused : {"export A=$(id)", "export A='open", "export A=\"x\"", "export AB='x'"}) {
    EXPECT_EQ(exportedValue(refused, "A"), std::nullopt) << refused;
  }
}

// Encoded binary of every length is read by the openssl program in the hand-off test and decoded
// back in the agent fragment's round trip (and a 3 MiB program in the tool's update test).
TEST(Base64, PadsAndRefusesOtherForms) {
  EXPECT_EQ(base64Encode("foob"), "Zm9vYg==");
  for (const char* refused : {"Zm9", "Zm9v!A==", "Z=9v", "Zm9vYg=\n"}) {
    EXPECT_EQ(base64Decode(refused), std::nullopt) << refused;
  }
}

}  // namespace
}  // namespace caskel
