// Dates, durations and the encrypted fragment handed to agents.
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <tuple>
#include <utility>

#include "base/agent_fragment.h"
#include "base/civil_date.h"
#include "base/duration.h"

namespace caskel {
namespace {

TEST(CivilDate, OnlyRealDaysInTheOneForm) {
  for (const char* valid : {"2026-03-31", "2024-02-29", "2000-02-29", "0001-01-01", "9999-12-31"}) {
    EXPECT_TRUE(parseCivilDate(valid)) << valid;
  }
  for (const char* refused :
       {"2026-02-29", "1900-02-29", "2026-02-30", "2026-04-31", "2026-13-01", "2026-00-10", "2026-01-00",
        "0000-01-01", "31/03/2026", "2026-3-31", "2026-03-31 ", "+026-03-31", "2026-03-3a", ""}) {
    EXPECT_FALSE(parseCivilDate(refused)) << refused;
  }
  const auto date = parseCivilDate("2026-03-09").value();
  EXPECT_EQ(std::make_tuple(date.year, date.month, date.day), std::make_tuple(2026, 3, 9));
}

TEST(Duration, ParsesTheFormsPeopleTypeRefusesTyposAndFormatsLikeTheServerPrompt) {
  const std::pair<const char*, int64_t> forms[] = {{"8h", 8 * 3600}, {"90m", 90 * 60}, {"45s", 45},
                                                   {"1h30m", 5400},  {"1h 30m", 5400}, {"2d", 2 * 86400},
                                                   {"3600", 3600},   {"1H", 3600}};
  for (auto [text, seconds] : forms) EXPECT_EQ(parseDuration(text), seconds) << text;
  for (const char* bad : {"", " ", "0", "0h", "h", "8x", "-5m", "1h30", "30m1h", "1h1h", "8 h", "1.5h",
                          "99999999999999999999", "400d"}) {
    EXPECT_FALSE(parseDuration(bad).has_value()) << bad;
  }
  const std::pair<int64_t, const char*> shown[] = {
      {14400, "4h"}, {5400, "1h 30m"}, {3659, "1h"}, {90, "1m"}, {45, "45s"}};
  for (auto [seconds, text] : shown) EXPECT_EQ(formatDuration(seconds), text) << seconds;
}

TEST(AgentFragment, WhatTheServerEncryptsTheToolDecrypts) {
  for (const std::string& value : std::initializer_list<std::string>{
           "", "v", "it's", "''\\'", "line1\nline2", "$(id) `x` \"q\"", std::string(5000, 'z')}) {
    const auto payload = encryptForAgent("acme/api/API_KEY", value);
    ASSERT_TRUE(payload);
    EXPECT_EQ(payload->name, "API_KEY");
    EXPECT_TRUE(isWellFormed(*payload));
    EXPECT_EQ(decryptAgentValue(*payload), value) << value.substr(0, 20);
  }
}

TEST(AgentFragment, TamperedOrMalformedPayloadsGiveNothing) {
  const struct {
    const char* what;
    std::function<void(AgentPayload&)> change;
    bool wellFormed;
  } cases[] = {
      {"other key", [](AgentPayload& p) { p.key[0] = p.key[0] == 'a' ? 'b' : 'a'; }, true},
      {"other name", [](AgentPayload& p) { p.name = "OTHER"; }, true},  // decrypts, but exports another name
      {"upper-case key", [](AgentPayload& p) { p.key[0] = 'A'; }, false},
      {"short IV", [](AgentPayload& p) { p.iv.pop_back(); }, false},
      {"bad name", [](AgentPayload& p) { p.name = "1A"; }, false},
      {"bad cipher text", [](AgentPayload& p) { p.ciphertext = "not base64!"; }, false}};
  for (const auto& c : cases) {
    AgentPayload payload = encryptForAgent("K", "value").value();
    c.change(payload);
    EXPECT_EQ(isWellFormed(payload), c.wellFormed) << c.what;
    EXPECT_EQ(decryptAgentValue(payload), std::nullopt) << c.what;
  }
}

}  // namespace
}  // namespace caskel
