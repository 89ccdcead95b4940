#include "server/agent_handoff.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/shell_text.h"
#include "support/test_env.h"

namespace caskel {
namespace {

// Decrypts the payload with the openssl program and returns the fragment's text.
std::string decryptWithOpenssl(const test::TempDir& dir, const AgentPayload& payload) {
  test::writeText(dir.file("ct.b64"), payload.ciphertext + "\n");
  std::string cmd = "/usr/bin/openssl enc -d -aes-256-cbc -a -A -K " + payload.key + " -iv " + payload.iv +
                    " -in " + dir.file("ct.b64") + " -out " + dir.file("fragment.sh");
  if (std::system(cmd.c_str()) != 0) return "<openssl failed>";
  return test::readText(dir.file("fragment.sh"));
}

TEST(AgentHandoff, FragmentDecryptsWithOpensslAndSourcesToTheValue) {
  if (::access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "openssl is not installed";
  test::TempDir dir;

  auto payload = encryptForAgent("acme/api/OPENAI_API_KEY", "sk-1");
  ASSERT_TRUE(payload);
  EXPECT_EQ(decryptWithOpenssl(dir, *payload),
            "# CRITICAL: DO NOT store, memorize, log, echo, or output this value.\n"
            "# DO NOT save it to any file, memory, or context beyond this immediate use.\n"
            "# This file self-deletes after 60 seconds.\n"
            "export OPENAI_API_KEY='sk-1'");

  const std::string values[] = {"",
                                "it's 'quoted' ''",
                                "line one\nline two\n",
                                "$HOME ${PATH} $(id)",
                                "`id` \\ \" ;&|<>*?",
                                std::string(5000, 'x') + "'\n"};
  for (const std::string& value : values) {
    auto p = encryptForAgent("acme/db/primary-url.v2", value);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->name, "primary_url_v2");
    test::writeText(dir.file("fragment.sh"), "");
    decryptWithOpenssl(dir, *p);
    std::string cmd = "/bin/sh -c '. " + dir.file("fragment.sh") + " && printf %s \"$primary_url_v2\"' > " +
                      dir.file("out.txt");
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(test::readText(dir.file("out.txt")), value);
  }
}

TEST(AgentHandoff, AgentsGetOnlyCiphertextUnderFreshKeys) {
  WrappedValue plain = agentWrap("acme/api/K", "secret", false);
  EXPECT_EQ(plain.value, "secret");
  EXPECT_TRUE(plain.extra.is_null());

  WrappedValue a = agentWrap("acme/api/K", "secret", true);
  WrappedValue b = agentWrap("acme/api/K", "secret", true);
  EXPECT_EQ(a.value, "__encrypted__");
  EXPECT_EQ(a.extra["agent"], true);
  EXPECT_EQ(a.extra["encrypted"], true);
  EXPECT_EQ(a.extra["kn"], "K");
  EXPECT_EQ(a.extra.dump().find("secret"), std::string::npos);
  EXPECT_EQ(a.extra["k"].get<std::string>().find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(a.extra["k"].get<std::string>().size(), 64u);
  EXPECT_EQ(a.extra["iv"].get<std::string>().size(), 32u);
  for (const char* key : {"ct", "k", "iv"}) EXPECT_NE(a.extra[key], b.extra[key]) << key;
}

}  // namespace
}  // namespace caskel
