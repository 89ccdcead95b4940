#include <caskel/version.h>
#include <gmock/gmock.h>

#include "handler_harness.h"
#include "server/command_support.h"

namespace caskel::test {
namespace {

using ::testing::IsEmpty;

// Requests refused before any prompt, read or audit record, whatever the command.
TEST_F(HandlerTest, MalformedRequestsAreRefusedBeforeAnythingHappens) {
  put("org/p/K", "v");
  const std::string badKey(513, 'a');
  struct {
    std::string body;
    std::string error;
  } cases[] = {
      {"not json", "Invalid request"},
      {"[1]", "Invalid request"},
      {R"({"account":"org/p/K"})", "Invalid request"},
      {R"({"cmd":7})", "Invalid request"},
      {R"({"cmd":"nope"})", "Unknown command: nope"},
      {R"({"cmd":"get","account":")" + badKey + "\"}", RequestHandler::kInvalidAccount},
      {R"({"cmd":"get","account":"org/p/$K"})", RequestHandler::kInvalidAccount},
      {R"({"cmd":"unlock","prefix":"org;p"})", RequestHandler::kInvalidPrefix},
      {R"({"cmd":"set","account":"org/p/K"})", "Missing account or value"},
      {R"({"cmd":"set","account":"org/p/K","value":1})", "Missing account or value"},
      {R"({"cmd":"get"})", "Missing account"},
      {R"({"cmd":"get","account":"org/p/"})",
       "Invalid key path \"org/p/\" — specify the full key (e.g. org/proj/KEY)"},
      {R"({"cmd":"get","account":"KEY"})",
       "Invalid key path \"KEY\" — specify the full key (e.g. org/proj/KEY)"},
      {R"({"cmd":"peek"})", "Missing account"},
      {R"({"cmd":"rm","account":5})", "Missing account"},
      {R"({"cmd":"meta"})", "Missing account"},
      {R"({"cmd":"unlock"})", "Missing prefix"},
      {R"({"cmd":"rotate","value":"n"})", "Missing account"},
      {R"({"cmd":"rotate","account":"org/p/K"})", "Missing new value"},
      {R"({"cmd":"rotate","account":"org/p/K","value":""})", "Missing new value"},
  };
  for (const auto& c : cases) {
    Reply reply = handler.respond(person, c.body);
    EXPECT_EQ(reply.toJson(), (nlohmann::json{{"ok", false}, {"error", c.error}})) << c.body;
    EXPECT_FALSE(reply.refreshesApplication());
  }
  EXPECT_THAT(newPrompts(), IsEmpty());
  EXPECT_EQ(store->valueReads(), 0);
  EXPECT_EQ(stored("org/p/K"), "v");
  EXPECT_THAT(audited(), IsEmpty());
}

TEST_F(HandlerTest, EveryRequestReportsTheToolsVersionEvenWhenRefused) {
  std::vector<std::string> versions;
  services.reportCliVersion = [&](std::string v) { versions.push_back(std::move(v)); };
  ask({{"cmd", "version"}, {"cli_version", "1.2.3"}});
  ask({{"cmd", "nope"}, {"cli_version", "1.2.4"}});
  ask({{"cmd", "version"}, {"cli_version", 3}});
  EXPECT_EQ(versions, (std::vector<std::string>{"1.2.3", "1.2.4"}));
}

TEST_F(HandlerTest, VersionTellsAgentsTheyAreSeenAsAgentsAndInstructionsComeFromTheServices) {
  EXPECT_EQ(ask({{"cmd", "ai-instructions"}}).toJson(), (nlohmann::json{{"ok", true}, {"value", ""}}));
  services.instructions = [] { return std::string("use caskel get"); };
  EXPECT_EQ(ask({{"cmd", "ai-instructions"}}).value(), "use caskel get");
  EXPECT_EQ(ask({{"cmd", "version"}}).toJson(), (nlohmann::json{{"ok", true}, {"value", kVersion}}));
  CallerInfo detached = callerOf(4300, false);
  detached.detached = true;
  for (const CallerInfo& who : {agent, detached}) {
    EXPECT_EQ(ask(who, {{"cmd", "version"}}).toJson(),
              (nlohmann::json{{"ok", true}, {"value", kVersion}, {"agent", true}}));
  }
}

TEST_F(HandlerTest, GetCliSendsTextAsItIsAndBinaryAsBase64) {
  EXPECT_EQ(ask({{"cmd", "get-cli"}}).error(), "Bundled CLI not found");
  services.cliPath = home.path() + "/caskel";
  writeText(services.cliPath, "#!/bin/sh\necho hi\n");
  EXPECT_EQ(ask({{"cmd", "get-cli"}}).toJson(),
            (nlohmann::json{{"ok", true}, {"value", "#!/bin/sh\necho hi\n"}}));
  writeText(services.cliPath, std::string("\177ELF\377\0", 6));
  EXPECT_EQ(ask({{"cmd", "get-cli"}}).toJson(),
            (nlohmann::json{{"ok", true}, {"value", "f0VMRv8A"}, {"encoding", "base64"}}));
}

// What every prompting command answers when the prompt did not end in a yes: the person's no is
// a cancel, and no prompt at all is named as such.
TEST_F(HandlerTest, AnUnavailablePromptIsNamedByEveryPromptingCommand) {
  put(kKey, "value-1234");
  const nlohmann::json requests[] = {
      {{"cmd", "get"}, {"account", kKey}},
      {{"cmd", "set"}, {"account", kKey}, {"value", "v2"}},
      {{"cmd", "rm"}, {"account", kKey}},
      {{"cmd", "unlock"}, {"prefix", "org/p"}},
      {{"cmd", "meta"}, {"account", kKey}, {"desc", "d"}},
      {{"cmd", "rotate"}, {"account", kKey}, {"value", "v3"}},
  };
  const std::pair<AuthOutcome, std::string> outcomes[] = {
      {AuthOutcome::unavailable, "Passphrase prompt unavailable: the passphrase prompt could not be shown"},
      {AuthOutcome::canceled, canceled()},
  };
  for (const auto& [outcome, text] : outcomes) {
    for (const nlohmann::json& body : requests) {
      SCOPED_TRACE(body.dump());
      auth->queue(outcome);  // each command stops at its first prompt
      Reply reply = ask(body);
      ASSERT_TRUE(reply.error());
      EXPECT_NE(reply.error()->find(text), std::string::npos) << *reply.error();
    }
  }
  EXPECT_EQ(stored(kKey), "value-1234");
}

// Command names match exactly; the hand-off's keys may replace the common ones.
TEST(ReplyShape, ExtraKeysFollowAndReplaceTheCommonOnes) {
  EXPECT_EQ(RequestHandler::find("Set"), nullptr);
  nlohmann::json wire = Reply::success("v", {{"value", "__encrypted__"}, {"iv", "00"}}).toJson();
  EXPECT_EQ(wire, (nlohmann::json{{"ok", true}, {"value", "__encrypted__"}, {"iv", "00"}}));
  EXPECT_EQ(Reply::success().toJson(), (nlohmann::json{{"ok", true}}));
  EXPECT_FALSE(Reply::object({{"ok", false}, {"x", 1}}).ok());
}

}  // namespace
}  // namespace caskel::test
