#include "server/audit_handler.h"

#include "handler_harness.h"

namespace caskel::test {
namespace {

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

}  // namespace
}  // namespace caskel::test
