#include "cli/secret_script.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "base/shell_text.h"
#include "cli/agent_payload.h"
#include "cli/cli_platform.h"
#include "fake_server.h"
#include "support/test_env.h"

namespace caskel::cli {
namespace {

using test::ScopedEnv;
using test::TempDir;

const std::vector<std::string> kAwkwardValues = {"plain",
                                                 "",
                                                 "it's 'single' and \"double\"",
                                                 "line1\nline2\n",
                                                 "$HOME $(id) `id` ${X:-y}",
                                                 "back\\slash\\",
                                                 "trailing newlines\n\n",
                                                 " spaced ",
                                                 "'",
                                                 "'\\''"};

// Sources the script in bash and returns the variable's value as bash saw it.
std::optional<std::string> sourceInBash(const std::string& script, const std::string& name,
                                        const TempDir& dir) {
  const std::string out = dir.file("value");
  std::string command = "bash -c 'source \"$0\" && printf %s \"$" + name + "\" > \"$1\"' " +
                        shellSingleQuote(script) + " " + shellSingleQuote(out);
  if (std::system(command.c_str()) != 0) return std::nullopt;
  return test::readText(out);
}

class SecretScriptTest : public ::testing::Test {
 protected:
  TempDir runtime_;
  ScopedEnv xdg_{"XDG_RUNTIME_DIR", runtime_.path()};
};

TEST_F(SecretScriptTest, PlainScriptSetsTheExactValueAndRemovesItself) {
  for (const auto& value : kAwkwardValues) {
    std::string error;
    auto path = SecretScript().write(
        [&](const std::string& p) { return SecretScript::plainText(p, "MY_KEY", value); }, error);
    ASSERT_TRUE(path) << error;
    EXPECT_EQ(path->rfind(runtime_.path() + "/caskel/", 0), 0u);
    EXPECT_EQ(test::modeOf(*path), 0600);
    EXPECT_EQ(test::modeOf(runtime_.path() + "/caskel"), 0700);
    EXPECT_EQ(sourceInBash(*path, "MY_KEY", runtime_), value);
    EXPECT_FALSE(pathExists(*path));
  }
}

TEST_F(SecretScriptTest, EncryptedScriptHoldsNoPlainValueAndDecryptsWhenSourced) {
  for (const auto& value : kAwkwardValues) {
    AgentPayload payload = encryptForAgent("API_KEY", value).value();
    std::string error;
    auto path = SecretScript().write(
        [&](const std::string& p) { return SecretScript::encryptedText(p, payload); }, error);
    ASSERT_TRUE(path) << error;
    if (value.size() > 3) {
      EXPECT_EQ(test::readText(*path).find(value), std::string::npos);
    }
    EXPECT_EQ(sourceInBash(*path, "API_KEY", runtime_), value);
    EXPECT_FALSE(pathExists(*path));
    // The same payload decrypted in-process, as `run` does for an agent.
    EXPECT_EQ(decryptAgentValue(payload), value);
  }
}

TEST_F(SecretScriptTest, BrokenPayloadsAreRejected) {
  nlohmann::json reply = {{"ok", true},
                          {"value", "__encrypted__"},
                          {"ct", "AAAA"},
                          {"k", std::string(64, 'a')},
                          {"iv", std::string(32, 'b')},
                          {"kn", "NAME"}};
  EXPECT_TRUE(agentPayloadFromReply(reply));
  for (auto [field, bad] : std::vector<std::pair<std::string, std::string>>{{"k", "x';rm -rf ~;'"},
                                                                            {"iv", "abc"},
                                                                            {"kn", "A B"},
                                                                            {"kn", "1A"},
                                                                            {"ct", "not base64!"},
                                                                            {"ct", ""}}) {
    nlohmann::json broken = reply;
    broken[field] = bad;
    EXPECT_FALSE(agentPayloadFromReply(broken)) << field << "=" << bad;
  }
  AgentPayload good = encryptForAgent("N", "v").value();
  good.key[0] = good.key[0] == 'a' ? 'b' : 'a';
  EXPECT_EQ(decryptAgentValue(good), std::nullopt);
}

TEST_F(SecretScriptTest, AnUnsourcedScriptIsRemovedAfterItsLifetime) {
  ScopedEnv ttl("CASKEL_SCRIPT_TTL_SECONDS", "1");
  std::string error;
  auto path =
      SecretScript().write([&](const std::string& p) { return SecretScript::plainText(p, "K", "v"); }, error);
  ASSERT_TRUE(path);
  // Wait for the background removal; the bound only keeps a broken build from hanging.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (pathExists(*path) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_FALSE(pathExists(*path));
}

TEST_F(SecretScriptTest, NarrowsAWideDirectoryAndRefusesALink) {
  const std::string dir = runtime_.path() + "/caskel";
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
  std::string error;
  ASSERT_TRUE(SecretScript().write([](const std::string&) { return std::string("x"); }, error));
  EXPECT_EQ(test::modeOf(dir), 0700);

  TempDir elsewhere;
  const std::string link = runtime_.path() + "/link";
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), link.c_str()), 0);
  EXPECT_FALSE(ensurePrivateDir(link, error));
}

}  // namespace
}  // namespace caskel::cli
