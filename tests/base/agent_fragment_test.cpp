#include "base/agent_fragment.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>

namespace caskel {
namespace {

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
