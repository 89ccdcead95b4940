#include "store/secret_metadata.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "store/json_text.h"
#include "store/structured_value.h"
#include "support/test_env.h"

namespace caskel {
namespace {

using namespace std::chrono;
using test::ScopedTimeZone;

// POSIX rules, so the tests need no time-zone database.
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";
// Old Brazilian rule: summer time began at midnight, so that day had no 00:00.
constexpr const char* kSaoPaulo2018 = "<-03>3<-02>,M11.1.0/0,M2.3.0/0";

Clock::time_point utc(int y, unsigned m, unsigned d, int h = 0) {
  return sys_days{year{y} / month{m} / day{d}} + hours{h};
}

SecretMetadata expiring(const char* date) {
  SecretMetadata m;
  m.expires = date;
  return m;
}

TEST(SecretMetadataJson, EncodesExactlyThePresentFieldsAndDecodesStrictlyTyped) {
  EXPECT_EQ(SecretMetadata{}.toJson(), "{}");
  SecretMetadata notStrict;
  notStrict.strict = false;
  EXPECT_EQ(notStrict.toJson(), R"({"strict":false})");

  SecretMetadata full{"api_key", "", "d/é \"q\"", "2026-03-31", "sk-1234\xF0\x9F\x94\x91", true, "monthly"};
  EXPECT_EQ(
      full.toJson(),
      "{\"bundle\":\"\",\"desc\":\"d\\/\xC3\xA9 \\\"q\\\"\",\"expires\":\"2026-03-31\","
      "\"peek\":\"sk-1234\xF0\x9F\x94\x91\",\"rotate\":\"monthly\",\"strict\":true,\"type\":\"api_key\"}");
  EXPECT_EQ(SecretMetadata::fromJson(full.toJson()), full);  // empty bundle stays present
  EXPECT_EQ(SecretMetadata::fromJson(notStrict.toJson()), notStrict);

  // Decoding is lenient about absence and strict about types.
  auto decoded = SecretMetadata::fromJson(R"({"type":null,"desc":"x","strict":null,"colour":[1],"x":{}})");
  ASSERT_TRUE(decoded);
  SecretMetadata onlyDesc;
  onlyDesc.desc = "x";
  EXPECT_EQ(*decoded, onlyDesc);
  EXPECT_EQ(decoded->toJson(), R"({"desc":"x"})");  // unknown keys are dropped on re-save
  EXPECT_EQ(SecretMetadata::fromJson(" {\n} "), SecretMetadata{});

  for (const char* bad : {R"({"strict":"yes"})", R"({"strict":1})", R"({"type":1})", R"({"peek":["a"]})",
                          R"({"expires":{}})", R"({"rotate":false})", "[]", "null", R"("text")", "42", "",
                          R"({"type":)", "{\"desc\":\"\xFF\"}", R"({"desc":"a"} trailing)"}) {
    EXPECT_EQ(SecretMetadata::fromJson(bad), std::nullopt) << bad;
  }
}

TEST(SecretMetadataDates, ExpiryIsLocalMidnightOfARealDate) {
  for (const auto& [zone, date, midnight] : {
           std::tuple{"UTC0", "2026-03-31", utc(2026, 3, 31)},
           {"UTC0", "2024-02-29", utc(2024, 2, 29)},
           {"UTC0", "9999-12-31", Clock::time_point::max()},  // past the clock's end
           {"UTC0", "0001-01-01", Clock::time_point::min()},
           {kBerlin, "2026-01-15", utc(2026, 1, 14, 23)},
           {kBerlin, "2026-07-01", utc(2026, 6, 30, 22)},
           {kSaoPaulo2018, "2018-11-04", utc(2018, 11, 4, 3)},  // the day starts at 01:00, at the change
           {kSaoPaulo2018, "2018-11-05", utc(2018, 11, 5, 2)},
       }) {
    ScopedTimeZone tz(zone);
    EXPECT_EQ(expiring(date).expiryDate(), midnight) << zone << " " << date;
  }
  // Every malformed form is the civil date test's; none of them may count as an expiry.
  for (const char* bad : {"2025-02-30", "2100-02-29", " 2026-03-31", "2026/03/31", ""}) {
    const SecretMetadata m = expiring(bad);
    EXPECT_EQ(m.expiryDate(), std::nullopt) << bad;
    EXPECT_FALSE(m.isExpired(utc(2200, 1, 1))) << bad;
    EXPECT_FALSE(m.isExpiring(14, utc(2200, 1, 1))) << bad;
  }
  EXPECT_FALSE(SecretMetadata{}.isExpiring(14, utc(2200, 1, 1)));
}

TEST(SecretMetadataDates, ExpiredOnceLocalMidnightHasPassedAndExpiringCountsCalendarDays) {
  ScopedTimeZone zone(kBerlin);
  const SecretMetadata m = expiring("2026-03-31");
  const Clock::time_point midnight = utc(2026, 3, 30, 22);
  EXPECT_FALSE(m.isExpired(midnight - seconds{1}));
  EXPECT_FALSE(m.isExpired(midnight));
  EXPECT_TRUE(m.isExpired(midnight + milliseconds{1}));
  EXPECT_TRUE(m.isExpiring(0, midnight + hours{24 * 400}));  // long expired still counts
  EXPECT_TRUE(m.isExpiring(0, midnight));
  EXPECT_FALSE(m.isExpiring(0, midnight - seconds{1}));

  // Days ahead are counted in calendar days.
  const Clock::time_point noon = utc(2026, 6, 1, 10);
  EXPECT_TRUE(expiring("2026-06-15").isExpiring(14, noon));
  EXPECT_FALSE(expiring("2026-06-16").isExpiring(14, noon));
  EXPECT_TRUE(expiring("2026-06-16").isExpiring(15, noon));

  // Across the autumn change 14 calendar days are 14 * 24 + 1 hours: from local midnight
  // they reach exactly the next local midnight.
  const Clock::time_point localMidnight = utc(2025, 10, 19, 22);
  EXPECT_TRUE(expiring("2025-11-03").isExpiring(14, localMidnight));
  EXPECT_FALSE(expiring("2025-11-03").isExpiring(13, localMidnight));
  EXPECT_FALSE(expiring("9999-12-31").isExpiring(14, localMidnight));
  EXPECT_TRUE(expiring("9999-12-31").isExpiring(INT_MAX, localMidnight));
  EXPECT_TRUE(expiring("0001-01-01").isExpired(localMidnight));
  EXPECT_FALSE(expiring("2025-11-03").isExpiring(INT_MIN, localMidnight));
}

TEST(Peek, ShowsAQuarterOfTheValueCountedInUserPerceivedCharacters) {
  const std::pair<const char*, size_t> cases[] = {
      {"", 0},
      {"h\u00e9llo \u4e16\U0001F511", 8},                 // 2-, 3- and 4-byte sequences
      {"e\u0301\u0327x", 2},                              // two combining marks
      {"\U0001F468\u200D\U0001F469\u200D\U0001F467", 1},  // family ZWJ sequence
      {"\U0001F44D\U0001F3FD\U0001F44D", 2},              // skin tone, then plain
      {"\U0001F469\U0001F3FD\u200D\U0001F4BB", 1},        // tone inside a ZWJ sequence
      {"\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", 2},    // two flags
      {"\U0001F1E9\U0001F1EA\U0001F1EB", 2},              // a flag and a lone indicator
      {"\U0001F3F4\U000E0067\U000E0062\U000E0065\U000E006E\U000E0067\U000E007F", 1},  // tag sequence
      {"1\uFE0F\u20E3", 1},                                                           // keycap
      {"a\u200Db", 2},                                                                // ZWJ joins only emoji
      {"\u0915\u093F\u0902", 1},        // Devanagari vowel sign + mark
      {"\u1100\u1161\u11A8\uAC00", 2},  // jamo block, then a syllable
      {"a\r\nb\n\r", 5},
      {"\n\u0301", 2},              // no mark on a newline
      {"\xFF\xFE\x61\xE2\x82", 5},  // bad bytes count one each
      {"\xC0\xAF\xED\xA0\x80", 5},  // overlong, surrogate
  };
  for (const auto& [text, count] : cases)
    EXPECT_EQ(characterCount(text), count) << testing::PrintToString(text);

  // A quarter of the value, at most eight characters, and nothing of short ones.
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const std::pair<size_t, std::optional<std::string>> lengths[] = {
      {0, std::nullopt}, {7, std::nullopt}, {8, "ab"},        {11, "ab"},
      {12, "abc"},       {31, "abcdefg"},   {32, "abcdefgh"}, {62, "abcdefgh"}};
  for (const auto& [length, peek] : lengths) EXPECT_EQ(peekOf(alphabet.substr(0, length)), peek) << length;

  // Counted and cut in user-perceived characters, not bytes or code points.
  EXPECT_EQ(peekOf("a\u0301b\u0301c\u0301d\u0301e\u0301f\u0301g\u0301"), std::nullopt);  // 7, 21 bytes
  EXPECT_EQ(peekOf("a\u0301b\u0301c\u0301d\u0301e\u0301f\u0301g\u0301h\u0301"), "a\u0301b\u0301");
  std::string marked;
  for (int i = 0; i < 40; ++i) marked += "e\u0301\u0302";
  EXPECT_EQ(peekOf(marked), firstCharacters(marked, 8));
  EXPECT_EQ(characterCount(*peekOf(marked)), 8u);
  EXPECT_EQ(peekOf("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"),
            "\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7");  // eight characters: two flags first

  EXPECT_EQ(firstCharacters("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7x", 1), "\U0001F1E9\U0001F1EA");
  EXPECT_EQ(firstCharacters("\xF0\x9F\x94\x61\x62", 3), "\xF0\x9F\x94");  // bad bytes kept as they are
}

// Structured values are stored as JSON text like the metadata beside them.
TEST(StructuredValue, EncodesCompactSortedWithSlashesEscapedAndRoundTrips) {
  EXPECT_EQ(encodeApiKey({"sk/live", std::nullopt}), R"({"key":"sk\/live"})");
  EXPECT_EQ(encodeApiKey({"k", ""}), R"({"key":"k","secondary":""})");
  EXPECT_EQ(encodeLogin({"z\xC3\xA9ro@example.com", "p\"w/\\"}),
            "{\"password\":\"p\\\"w\\/\\\\\",\"username\":\"z\xC3\xA9ro@example.com\"}");
  EXPECT_EQ(encodeRecoveryCodes({"b-2", "a-1", "\xF0\x9F\x94\x91"}),
            "[\"b-2\",\"a-1\",\"\xF0\x9F\x94\x91\"]");
  EXPECT_EQ(encodeRecoveryCodes({}), "[]");

  // Other writers' layouts decode too.
  const ApiKeyValue both{"sk/1 \xC3\xA9", "sk/2"};
  EXPECT_EQ(decodeApiKey(encodeApiKey(both)), both);
  const LoginValue login{"me", "p\xC3\xA4ss/\n"};
  EXPECT_EQ(decodeLogin(encodeLogin(login)), login);
  const std::vector<std::string> codes{"2222", "1111"};
  EXPECT_EQ(decodeRecoveryCodes(encodeRecoveryCodes(codes)), codes);

  EXPECT_EQ(decodeApiKey(R"( { "secondary" : null, "key" : "k", "note": 1 } )"),
            (ApiKeyValue{"k", std::nullopt}));
  EXPECT_EQ(decodeLogin(R"({"username":"u","password":"","otp":"x"})"), (LoginValue{"u", ""}));
}

TEST(StructuredValue, AnythingElseIsPlainText) {
  for (const char* text : {"sk-live-123", "", "{", "[]", R"("k")", R"({"key":5})", R"({"secondary":"s"})",
                           R"({"key":"k","secondary":7})", "{\"key\":\"\xFF\"}"}) {
    EXPECT_EQ(decodeApiKey(text), std::nullopt) << text;
  }
  for (const char* text :
       {"user:pass", R"({"username":"u"})", R"({"username":"u","password":null})", R"(["u","p"])"}) {
    EXPECT_EQ(decodeLogin(text), std::nullopt) << text;
  }
  // The command-line tool stores codes one per line: plain text too.
  for (const char* text : {"1111\n2222", R"(["1111",2222])", R"({"codes":["1"]})", "[\"a\"] x"}) {
    EXPECT_EQ(decodeRecoveryCodes(text), std::nullopt) << text;
  }
  const std::string deep =
      std::string(100000, '[') + std::string(100000, ']');  // must not overflow the stack
  EXPECT_EQ(decodeRecoveryCodes(deep), std::nullopt);
}

TEST(JsonTextTest, WipeReachesEveryNestedStringAndLeavesOtherValues) {
  nlohmann::json j = {
      {"value", "s3cret"}, {"n", 7}, {"extra", {{"k", "key!"}, {"list", {"a1", true, "b22"}}}}};
  wipeJsonStrings(j);
  for (const auto& [text, size] : {std::pair{j["value"], 6u},
                                   {j["extra"]["k"], 4u},
                                   {j["extra"]["list"][0], 2u},
                                   {j["extra"]["list"][2], 3u}}) {
    EXPECT_EQ(text.get<std::string>(), std::string(size, '\0'));
  }
  EXPECT_EQ(j["n"], 7);
  EXPECT_EQ(j["extra"]["list"][1], true);
}

}  // namespace
}  // namespace caskel
