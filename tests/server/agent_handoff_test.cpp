#include "server/agent_handoff.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/test_env.h"

namespace caskel {
namespace {

// The fragment as the openssl program decrypts it from a reply's keys, as the tool's script does.
std::string decryptWithOpenssl(const test::TempDir& dir, const nlohmann::json& extra) {
  test::writeText(dir.file("ct.b64"), extra["ct"].get<std::string>() + "\n");
  std::string cmd = "/usr/bin/openssl enc -d -aes-256-cbc -a -A -K " + extra["k"].get<std::string>() +
                    " -iv " + extra["iv"].get<std::string>() + " -in " + dir.file("ct.b64") + " -out " +
                    dir.file("fragment.sh");
  return std::system(cmd.c_str()) == 0 ? test::readText(dir.file("fragment.sh")) : "<openssl failed>";
}

TEST(AgentHandoff, AgentsGetAFreshlyKeyedFragmentThatSourcesToTheValue) {
  if (::access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "openssl is not installed";
  test::TempDir dir;
  EXPECT_TRUE(agentWrap("acme/api/K", "secret", false).extra.is_null());

  WrappedValue a = agentWrap("acme/api/OPENAI_API_KEY", "sk-1", true);
  WrappedValue b = agentWrap("acme/api/OPENAI_API_KEY", "sk-1", true);
  EXPECT_EQ(a.value, "__encrypted__");
  EXPECT_EQ(a.extra["encrypted"], true);
  EXPECT_EQ(a.extra.dump().find("sk-1"), std::string::npos);
  for (const char* key : {"ct", "k", "iv"}) EXPECT_NE(a.extra[key], b.extra[key]) << key;
  EXPECT_EQ(decryptWithOpenssl(dir, a.extra),
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
    ASSERT_NE(decryptWithOpenssl(dir, agentWrap("acme/db/V", value, true).extra), "<openssl failed>");
    std::string cmd =
        "/bin/sh -c '. " + dir.file("fragment.sh") + " && printf %s \"$V\"' > " + dir.file("out.txt");
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(test::readText(dir.file("out.txt")), value);
  }
}

}  // namespace
}  // namespace caskel
