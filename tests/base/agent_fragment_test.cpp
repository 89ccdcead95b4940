#include "base/agent_fragment.h"

#include <gtest/gtest.h>

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
  const AgentPayload good = encryptForAgent("K", "value").value();
  auto withKey = good;
  withKey.key[0] = withKey.key[0] == 'a' ? 'b' : 'a';
  auto withName = good;
  withName.name = "OTHER";  // decrypts, but exports another name
  auto upperKey = good;
  upperKey.key[0] = 'A';
  auto shortIv = good;
  shortIv.iv.pop_back();
  auto badName = good;
  badName.name = "1A";
  auto badCipher = good;
  badCipher.ciphertext = "not base64!";
  for (const auto* p : {&withKey, &withName, &upperKey, &shortIv, &badCipher}) {
    EXPECT_EQ(decryptAgentValue(*p), std::nullopt);
  }
  for (const auto* p : {&upperKey, &shortIv, &badName, &badCipher}) EXPECT_FALSE(isWellFormed(*p));
}

}  // namespace
}  // namespace caskel
