#include "base/agent_fragment.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace caskel {
namespace {

TEST(AgentFragment, WhatTheServerEncryptsTheToolDecrypts) {
  for (const std::string& value : std::initializer_list<std::string>{"", "v", "it's", "''\\'", "line1\nline2", "$(id) `x` \"q\"", std::string(5000, 'z')}) {
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

TEST(AgentFragment, Base64RoundTripsAndRefusesOtherForms) {
  for (const std::string& bytes : std::initializer_list<std::string>{"", "f", "fo", "foo", "foob", std::string("\0\xFF\x10", 3)}) {
    EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes);
  }
  EXPECT_EQ(base64Encode("foob"), "Zm9vYg==");
  for (const char* refused : {"Zm9", "Zm9v!A==", "Z=9v", "Zm9vYg=\n"}) {
    EXPECT_EQ(base64Decode(refused), std::nullopt) << refused;
  }
}

}  // namespace
}  // namespace caskel
