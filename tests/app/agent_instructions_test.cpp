#include "app/agent_instructions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "base/verification_commands.h"

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
  const auto checks = verification::checks();
  for (size_t row : {0, 1, 4}) {
    const std::string command = verification::commandLine(checks[row].arguments, verification::kServerPidLookup);
    EXPECT_NE(doc.find("`" + command + "`"), std::string::npos) << command;
  }
  std::string lower = doc;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  for (const char* word : {"touch id", "keychain", "macos", "codesign", "lsof", "/applications", "apple",
                           "secure enclave", "`security` cli", "spctl", "mdfind", "passcode", "pasteboard", "sudo", "ss -"}) {
    EXPECT_EQ(lower.find(word), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace caskel
