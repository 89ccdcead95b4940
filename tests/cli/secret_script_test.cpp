#include "cli/secret_script.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "base/shell_text.h"
#include "cli/agent_payload.h"
#include "cli/cli_platform.h"
#include "support/test_env.h"

namespace caskel::cli {
namespace {

using test::TempDir;

class SecretScriptTest : public ::testing::Test {
 protected:
  // Writes a script with `text`, sources it in bash and returns the variable as bash saw it.
  std::optional<std::string> sourceInBash(const std::function<std::string(const std::string&)>& text,
                                          const std::string& name) {
    std::string error;
    auto path = SecretScript().write(text, error);
    EXPECT_TRUE(path) << error;
    if (!path) return std::nullopt;
    EXPECT_EQ(path->rfind(runtime_.path() + "/caskel/", 0), 0u);
    EXPECT_EQ(test::modeOf(*path), 0600);
    EXPECT_EQ(test::modeOf(runtime_.path() + "/caskel"), 0700);
    script_ = test::readText(*path);
    const std::string command = "bash -c 'source \"$0\" && printf %s \"$" + name + "\" > \"$1\"' " +
                                shellSingleQuote(*path) + " " + shellSingleQuote(runtime_.file("value"));
    const bool sourced = std::system(command.c_str()) == 0;
    EXPECT_FALSE(pathExists(*path));
    return sourced ? std::optional(test::readText(runtime_.file("value"))) : std::nullopt;
  }

  TempDir runtime_;
  test::ScopedEnv xdg_{"XDG_RUNTIME_DIR", runtime_.path()};
  std::string script_;
};

TEST_F(SecretScriptTest, PlainAndEncryptedScriptsSetTheExactValueAndRemoveThemselves) {
  for (const std::string value :
       {"plain", "", "it's 'single' and \"double\"", "line1\nline2\n", "$HOME $(id) `id` ${X:-y}",
        "back\\slash\\", "trailing newlines\n\n", " spaced ", "'", "'\\''"}) {
    SCOPED_TRACE(value);
    EXPECT_EQ(sourceInBash([&](const std::string& p) { return SecretScript::plainText(p, "MY_KEY", value); },
                           "MY_KEY"),
              value);
    AgentPayload payload = encryptForAgent("API_KEY", value).value();
    EXPECT_EQ(sourceInBash([&](const std::string& p) { return SecretScript::encryptedText(p, payload); },
                           "API_KEY"),
              value);
    if (value.size() > 3) {
      EXPECT_EQ(script_.find(value), std::string::npos);
    }
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
