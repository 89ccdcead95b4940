#include <caskel/version.h>

#include "handler_harness.h"
#include "server/audit_handler.h"

namespace caskel::test {
namespace {

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
      {R"({"cmd":"Set"})", "Unknown command: Set"},  // names match exactly
      {R"({"cmd":"get","account":")" + badKey + "\"}", RequestHandler::kInvalidAccount},
      {R"({"cmd":"get","account":"org/p/$K"})", RequestHandler::kInvalidAccount},
      {R"({"cmd":"unlock","prefix":"org;p"})", RequestHandler::kInvalidPrefix},
      {R"({"cmd":"set","account":"org/p/K"})", "Missing account or value"},
      {R"({"cmd":"set","account":"org/p/K","value":1})", "Missing account or value"},
      {R"({"cmd":"get"})", "Missing account"},
      {R"({"cmd":"peek"})", "Missing account"},
      {R"({"cmd":"rm","account":5})", "Missing account"},
      {R"({"cmd":"meta"})", "Missing account"},
      {R"({"cmd":"unlock"})", "Missing prefix"},
      {R"({"cmd":"rotate","value":"n"})", "Missing account"},
      {R"({"cmd":"rotate","account":"org/p/K"})", "Missing new value"},
      {R"({"cmd":"rotate","account":"org/p/K","value":""})", "Missing new value"},
      {R"({"cmd":"audit"})", "Missing action"},
      {R"({"cmd":"audit","action":"OFF"})", "Unknown audit action: OFF"},
  };
  for (const auto& c : cases) {
    Reply reply = handler.respond(person, c.body);
    EXPECT_EQ(reply.toJson(), (nlohmann::json{{"ok", false}, {"error", c.error}})) << c.body;
    EXPECT_FALSE(reply.refreshesApplication());
  }
  EXPECT_THAT(newPrompts(), IsEmpty());
  EXPECT_EQ(store->valueReads(), 0);
  EXPECT_EQ(stored("org/p/K"), "v");
  EXPECT_TRUE(audit.isEnabled());
  EXPECT_THAT(audited(), IsEmpty());
}

// Keys that name no single item are refused by every command that writes or reads one.
TEST_F(HandlerTest, KeysThatAreNotFullAreRefusedBeforeAnyPrompt) {
  const nlohmann::json requests[] = {
      {{"cmd", "set"}, {"value", "v-123456789"}},
      {{"cmd", "rotate"}, {"value", "v-123456789"}},
      {{"cmd", "meta"}, {"desc", "d"}},
      {{"cmd", "get"}},
  };
  for (const std::string key :
       {"org/p/", "/org/K", "org//K", "org/./K", "org/../K", "./K", "KEY", "org/K/.."}) {
    for (nlohmann::json body : requests) {
      body["account"] = key;
      SCOPED_TRACE(body.dump());
      EXPECT_EQ(ask(body).error(),
                "Invalid key path \"" + key + "\" — specify the full key (e.g. org/proj/KEY)");
      EXPECT_THAT(newPrompts(), IsEmpty());
      EXPECT_FALSE(stored(key));
    }
  }
  EXPECT_THAT(audited(), IsEmpty());
}

TEST_F(HandlerTest, VersionInstructionsAndTheToolsReportedVersion) {
  std::vector<std::string> versions;
  services.reportCliVersion = [&](std::string v) { versions.push_back(std::move(v)); };
  EXPECT_EQ(ask({{"cmd", "version"}, {"cli_version", "1.2.3"}}).toJson(),
            (nlohmann::json{{"ok", true}, {"value", kVersion}}));
  ask({{"cmd", "nope"}, {"cli_version", "1.2.4"}});  // reported even when refused
  ask({{"cmd", "version"}, {"cli_version", 3}});
  EXPECT_EQ(versions, (std::vector<std::string>{"1.2.3", "1.2.4"}));
  // Agents and detached callers are told they are seen as agents.
  for (const CallerInfo& who : {agent, detached}) {
    EXPECT_EQ(ask(who, {{"cmd", "version"}}).toJson(),
              (nlohmann::json{{"ok", true}, {"value", kVersion}, {"agent", true}}));
  }
  EXPECT_EQ(ask({{"cmd", "ai-instructions"}}).toJson(), (nlohmann::json{{"ok", true}, {"value", ""}}));
  services.instructions = [] { return std::string("use caskel get"); };
  EXPECT_EQ(ask({{"cmd", "ai-instructions"}}).value(), "use caskel get");
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

// No prompt shown is named as such by every prompting command, never taken for the person's no
// (the cancels are rows of the item table and the unlock test).
TEST_F(HandlerTest, AnUnavailablePromptIsNamedByEveryPromptingCommand) {
  put(kKey, "value-1234");
  const nlohmann::json requests[] = {
      {{"cmd", "get"}, {"account", kKey}},
      {{"cmd", "set"}, {"account", kKey}, {"value", "v2"}},
      {{"cmd", "rm"}, {"account", kKey}},
      {{"cmd", "unlock"}, {"prefix", "org/p"}},
      {{"cmd", "meta"}, {"account", kKey}, {"desc", "d"}},
      {{"cmd", "rotate"}, {"account", kKey}, {"value", "v3"}},
      {{"cmd", "audit"}, {"action", "off"}},
      {{"cmd", "audit"}, {"action", "clear"}},
  };
  audit.setEnabled(true);
  for (const nlohmann::json& body : requests) {
    SCOPED_TRACE(body.dump());
    auth->queue(AuthOutcome::unavailable);  // each command stops at its first prompt
    EXPECT_THAT(
        ask(body).error().value_or(""),
        ::testing::HasSubstr("Passphrase prompt unavailable: the passphrase prompt could not be shown"));
  }
  EXPECT_EQ(stored(kKey), "value-1234");
  EXPECT_TRUE(audit.isEnabled());
  // With no prompt set up at all, nothing is shown.
  newPrompts();
  auth->setAvailable(false);
  EXPECT_EQ(ask({{"cmd", "peek"}, {"account", "org/p/NONE"}}).error(),
            "Passphrase prompt unavailable: no passphrase prompt is set up");
  EXPECT_THAT(newPrompts(), IsEmpty());
}

// Who may change the log, and which changes cost the passphrase.
TEST_F(HandlerTest, AuditChangesAreThePersonsAndHidingOnesAsk) {
  const std::string set = "SET org/p/K ok", refused = "error: " + std::string(kAuditChangeRefused);
  struct {
    const char* name;
    bool onBefore;
    const CallerInfo* caller;
    const char* action;
    std::optional<AuthOutcome> answer;  // set when the change asks
    std::string reply;
    bool onAfter;
    std::vector<std::string> records;  // what the log holds afterwards
  } cases[] = {
      {"on asks nothing", false, &person, "on", {}, "on", true, {set, "AUDIT - on"}},
      {"on when on", true, &person, "on", {}, "on", true, {set}},
      {"off asks", true, &person, "off", kYes, "off", false, {set, "AUDIT - off"}},
      {"off canceled", true, &person, "off", kNo, "error: Authentication canceled", true, {set}},
      {"off when off", false, &person, "off", {}, "off", false, {set}},
      {"clear asks", true, &person, "clear", kYes, "on", true, {"AUDIT - cleared"}},
      {"clear canceled", true, &person, "clear", kNo, "error: Authentication canceled", true, {set}},
      {"agent on", false, &agent, "on", {}, refused, false, {set}},
      {"agent off", true, &agent, "off", {}, refused, true, {set}},
      {"agent clear", true, &agent, "clear", {}, refused, true, {set}},
      {"detached off", true, &detached, "off", {}, refused, true, {set}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    audit.clear();
    audit.setEnabled(true);
    audit.log("SET", kKey, "ok");
    audit.setEnabled(c.onBefore);
    if (c.answer) auth->queue(*c.answer);
    newPrompts();

    Reply reply = ask(*c.caller, {{"cmd", "audit"}, {"action", c.action}});

    EXPECT_EQ(shown(reply), c.reply);
    const std::string question =
        std::string(c.action) == "off" ? "Turn off the audit log" : "Clear the audit log";
    EXPECT_EQ(newPrompts(), c.answer ? Prompts{question} : Prompts{});
    EXPECT_EQ(audit.isEnabled(), c.onAfter);
    EXPECT_EQ(audited(), c.records);
  }
}

TEST_F(HandlerTest, AuditShowsTheNewestRecordsToAnyCaller) {
  for (int i = 0; i < 30; ++i) audit.log("GET", "org/p/K" + std::to_string(i), "ok");
  audit.log("LOCK", std::nullopt, "ok");
  struct {
    nlohmann::json limit;
    size_t shown;
  } cases[] = {{nullptr, 20}, {3, 3}, {0, 20}, {-4, 20}, {"7", 20}, {1e12, 31}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit.dump());
    nlohmann::json body = {{"cmd", "audit"}, {"action", "show"}};
    if (!c.limit.is_null()) body["limit"] = c.limit;
    nlohmann::json reply = ask(agent, body).toJson();
    ASSERT_EQ(reply["entries"].size(), c.shown);
    EXPECT_EQ(reply["enabled"], true);
    // Newest first; a record without an account has no "account".
    EXPECT_EQ(reply["entries"][0],
              (nlohmann::json{
                  {"timestamp", reply["entries"][0]["timestamp"]}, {"operation", "LOCK"}, {"result", "ok"}}));
    EXPECT_EQ(reply["entries"][1]["account"], "org/p/K29");
  }
  EXPECT_THAT(newPrompts(), IsEmpty());
}

// The vault-wide commands' refusals, made before anyone is asked.
TEST_F(HandlerTest, VaultCommandsRefuseAgentsDetachedCallersAndPathsThatAreNotAbsoluteFiles) {
  const nlohmann::json requests[] = {{{"cmd", "passwd"}},
                                     {{"cmd", "backup"}, {"path", home.path() + "/b.db"}},
                                     {{"cmd", "restore"}, {"path", home.path() + "/b.db"}}};
  for (const nlohmann::json& body : requests) {
    for (const CallerInfo* caller : {&agent, &detached}) {
      SCOPED_TRACE(body.dump());
      EXPECT_THAT(ask(*caller, body).error().value_or(""),
                  ::testing::HasSubstr("is blocked for AI agents and detached processes"));
    }
  }
  for (const nlohmann::json& path :
       {nlohmann::json("relative.db"), nlohmann::json("/tmp/dir/"), nlohmann::json(""), nlohmann::json(42),
        nlohmann::json(std::string("/tmp/a\0b", 8))}) {
    for (const char* cmd : {"backup", "restore"}) {
      SCOPED_TRACE(std::string(cmd) + " " + path.dump());
      EXPECT_EQ(ask({{"cmd", cmd}, {"path", path}}).error(),
                "Invalid path — give the backup file's absolute path");
    }
  }
  EXPECT_THAT(newPrompts(), IsEmpty());
}

}  // namespace
}  // namespace caskel::test
