#include "store/structured_value.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/json_text.h"

namespace caskel {
namespace {

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
