// The listings (ls, session, config, bundle ls, audit show) against a stand-in server: their
// text, tree and JSON shapes and the strict marker.
#include <gmock/gmock.h>

#include "fake_server.h"

namespace caskel::cli {
namespace {

using json = nlohmann::json;
using test::FakeServer;
using test::runTool;
using ::testing::HasSubstr;

json listing() {
  return {{"ok", true},
          {"accounts",
           {{{"account", "acme/api/KEY"}, {"type", "api_key"}, {"bundle", "web"}, {"peek", "sk-12345"}},
            {{"account", "acme/api/STRICT"}, {"strict", true}, {"bundle", "web"}},
            {{"account", "acme/api/sub/DEEP"}},
            {{"account", "acme/api"}},
            {{"account", "zeta//odd"}},
            {{"account", "zeta/x/Y"}, {"desc", "why"}}}}};
}

json answer(const json& r) {
  const std::string cmd = r.value("cmd", "");
  if (cmd == "ls") return listing();
  if (cmd == "session")
    return {{"ok", true}, {"unlocked", {{{"prefix", "acme/api/"}, {"count", 3}, {"x", 1}}}}};
  if (cmd == "config") {
    return {{"ok", true}, {"default_timeout", 14400}, {"timeouts", {{{"prefix", "acme/"}, {"timeout", 60}}}}};
  }
  return {{"ok", false}, {"error", "Unknown command: " + cmd}};
}

TEST(Listing, EveryShapeMarksStrictKeys) {
  FakeServer server(answer);
  struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"ls", "acme/api/"},
       "acme/api/KEY              [api_key]  bundle:web\n"
       "acme/api/STRICT [strict]  bundle:web\n"
       "acme/api/sub/DEEP\n"},
      {{"ls", "--tree"},
       "acme/\n"
       "  api\n"
       "  api/\n"
       "    KEY  [api_key]  bundle:web\n"
       "    STRICT [strict]  bundle:web\n"
       "    sub/\n"
       "      DEEP\n"
       "zeta/\n"
       "  /\n"
       "    odd\n"
       "  x/\n"
       "    Y  — why\n"},
      {{"ls", "zeta", "--names"}, "zeta//odd\nzeta/x/Y\n"},
      // Strict always there, the peek never.
      {{"ls", "acme/api/KEY", "--json"},
       json::array({{{"account", "acme/api/KEY"}, {"strict", false}, {"type", "api_key"}, {"bundle", "web"}}})
               .dump(2) +
           "\n"},
      {{"ls", "acme/api/STRICT", "--json"},
       json::array({{{"account", "acme/api/STRICT"}, {"strict", true}, {"bundle", "web"}}}).dump(2) + "\n"},
      {{"ls", "--folders"}, "acme/\nacme/api/\nacme/api/sub/\nzeta/\nzeta//\nzeta/x/\n"},
      {{"bundle", "ls", "acme/api"}, "web  (2 keys)\n  acme/api/KEY\n  acme/api/STRICT [strict]\n"},
      {{"session", "--json"}, json::array({{{"prefix", "acme/api/"}, {"count", 3}}}).dump(2) + "\n"},
      {{"config", "--json"},
       json{{"default_timeout", 14400}, {"timeouts", {{{"prefix", "acme/"}, {"timeout", 60}}}}}.dump(2) +
           "\n"},
      {{"bundle", "ls", "acme/api", "--json"},
       json::array({{{"bundle", "web"},
                     {"accounts",
                      {{{"account", "acme/api/KEY"}, {"strict", false}},
                       {{"account", "acme/api/STRICT"}, {"strict", true}}}}}})
               .dump(2) +
           "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    auto run = runTool(c.args);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, c.out);
  }
}

TEST(Listing, OnlyNoPromptAsksTheServerNotToPrompt) {
  FakeServer server(answer);
  runTool({"ls", "--names", "--no-prompt"});
  runTool({"ls", "--names"});
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].value("no_prompt", false), true);
  EXPECT_FALSE(requests[1].contains("no_prompt"));
  // One format at a time.
  EXPECT_EQ(runTool({"ls", "--tree", "--json"}).code, 2);
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST(AuditShow, PrintsOldestFirstAndDefusesWhatTheFileHolds) {
  FakeServer server([](const json& r) -> json {
    if (r.value("action", "") != "show")
      return {{"ok", true}, {"value", r["action"] == "on" ? "on" : "off"}, {"path", "/h/audit.log"}};
    return {{"ok", true},
            {"enabled", false},
            {"entries",
             {{{"timestamp", "T2"}, {"operation", "LOCK"}, {"result", "ok"}},
              {{"timestamp", "T1"},
               {"operation", "GET"},
               {"account", "a/b/\x1b[2JK"},
               {"result", "ok (cached)"}}}}};
  });
  auto show = runTool({"audit", "show", "-n", "5"});
  EXPECT_EQ(show.code, 0);
  EXPECT_EQ(show.out, "[T1] GET account=a/b/\xEF\xBF\xBD[2JK result=ok (cached)\n[T2] LOCK result=ok\n");
  EXPECT_THAT(show.err, HasSubstr("Audit logging is off"));
  EXPECT_EQ(server.requests()[0]["limit"], 5);
  EXPECT_EQ(runTool({"audit", "on"}).out, "Audit logging is on: /h/audit.log\n");
  EXPECT_EQ(runTool({"audit", "off"}).out, "Audit logging is off.\n");
  for (const auto& bad :
       std::vector<std::vector<std::string>>{{"audit"}, {"audit", "show", "-n", "0"}, {"audit", "maybe"}}) {
    EXPECT_EQ(runTool(bad).code, 2) << bad.back();
  }
  EXPECT_EQ(server.requests().size(), 3u);
}

}  // namespace
}  // namespace caskel::cli
