#include "app/agent_instructions.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "base/verification_commands.h"
#include "platform/child_process.h"
#include "support/test_env.h"

namespace caskel {
namespace {

// The list under the last heading of the instructions built for `keys`.
std::string prefixList(const std::vector<std::string>& keys) {
  std::vector<SecretInfo> infos;
  for (const auto& k : keys) infos.push_back(SecretInfo{k, std::nullopt});
  const std::string doc = agentInstructions(infos), heading = "**Available prefixes:**\n";
  auto at = doc.rfind(heading);
  return at == std::string::npos ? "<no heading>" : doc.substr(at + heading.size());
}

TEST(AgentInstructions, PrefixListIsSortedUniqueAndEndsWithoutLineFeed) {
  const std::string none = "- (none yet — add credentials to see prefixes here)";
  EXPECT_EQ(prefixList({}), none);
  EXPECT_EQ(prefixList({"TOP", "solo"}), none);
  EXPECT_EQ(prefixList({"acme/web/A", "acme/web/B", "acme/api/C", "TOP"}), "- `acme/api/`\n- `acme/web/`");
  EXPECT_EQ(prefixList({"/acme//web/K"}), "- `acme/web/`");
  const std::string doc = agentInstructions({SecretInfo{"acme/web/A", std::nullopt}});
  EXPECT_NE(doc.back(), '\n');
  // Everything before the list is fixed text.
  EXPECT_EQ(doc.substr(0, doc.size() - 13), agentInstructions({}).substr(0, doc.size() - 13));
}

// The body is fixed text; what can drift is the self-check it shares with `caskel verify`, and
// wording carried over from another platform.
TEST(AgentInstructions, CarriesTheVerifyCommandsAndNamesNothingOfAnotherPlatform) {
  std::string doc = agentInstructions({});
  for (const char* command : {verification::kSandboxCheck, verification::kConnectionsCheck}) {
    EXPECT_NE(doc.find(command), std::string::npos) << command;
  }
  std::string lower = doc;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  for (const char* word : {"touch id", "keychain", "macos", "codesign", "lsof", "/applications", "apple",
                           "secure enclave", "`security` cli", "spctl", "mdfind", "passcode", "pasteboard"}) {
    EXPECT_EQ(lower.find(word), std::string::npos) << word;
  }
}

// The live-connection check runs against stand-ins for pgrep, sudo and ss, so each of its
// verdicts is seen: a refused or impossible check must never read as "no connections".
TEST(AgentInstructions, ConnectionCheckNeverMistakesARefusalForZeroConnections) {
  test::TempDir bin;
  auto tool = [&](const std::string& name, const std::string& body) {
    test::writeText(bin.file(name), "#!/bin/sh\n" + body + "\n");
    ::chmod(bin.file(name).c_str(), 0700);
  };
  auto verdict = [&] {
    ChildOptions options;
    options.captureOutput = true;
    options.environment["PATH"] = bin.path() + ":/usr/bin:/bin";
    return runChild("/bin/bash", {"-c", verification::kConnectionsCheck}, options).output;
  };
  tool("sudo", "[ \"$1\" = -n ] && shift; exec \"$@\"");
  tool("pgrep", "echo 12");
  tool("ss", "echo 'tcp ESTAB 0 0 10.0.0.2:5 1.2.3.4:443 users:((\"other\",pid=123,fd=4))'");
  EXPECT_EQ(verdict(), "NO-CONNECTIONS\n");
  tool("ss", "echo 'tcp ESTAB 0 0 10.0.0.2:5 1.2.3.4:443 users:((\"caskeld\",pid=12,fd=4))'");
  EXPECT_EQ(verdict(), "tcp ESTAB 0 0 10.0.0.2:5 1.2.3.4:443 users:((\"caskeld\",pid=12,fd=4))\n");
  tool("sudo", "echo 'sudo: a password is required' >&2; exit 1");
  EXPECT_EQ(verdict(), "CHECK-FAILED\n");
  tool("pgrep", "exit 1");
  EXPECT_EQ(verdict(), "CHECK-FAILED\n");
}

}  // namespace
}  // namespace caskel
