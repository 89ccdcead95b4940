// What the tool prints by itself: the listings (ls, session, config, bundle ls, audit show) in
// their text, tree and JSON shapes with the strict marker; help, suggestions and completions.
#include <gmock/gmock.h>
#include <sys/wait.h>

#include <cstdlib>

#include "fake_server.h"

namespace caskel::cli {
namespace {

using json = nlohmann::json;
using test::FakeServer;
using test::runTool;
using test::ToolTest;
using ::testing::HasSubstr;

TEST_F(ToolTest, EveryListingShapeMarksStrictKeys) {
  items_["acme/api/STRICT"] = {{"strict", true}, {"bundle", "web"}};
  items_["acme/api"] = json::object();  // a key named like a folder
  items_["zeta//odd"] = json::object();
  items_["zeta/x/Y"]["desc"] = "why";
  struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"ls", "acme/api/"},
       "acme/api/KEY              [api_key]  bundle:web\n"
       "acme/api/OTHER            bundle:web\n"
       "acme/api/STRICT [strict]  bundle:web\n"
       "acme/api/sub/DEEP\n"},
      {{"ls", "--tree"},
       "acme/\n"
       "  api\n"
       "  api/\n"
       "    KEY  [api_key]  bundle:web\n"
       "    OTHER  bundle:web\n"
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
      {{"ls", "acme/api/OTHER", "--json"},
       json::array({{{"account", "acme/api/OTHER"}, {"strict", false}, {"bundle", "web"}}}).dump(2) + "\n"},
      {{"ls", "acme/api/STRICT", "--json"},
       json::array({{{"account", "acme/api/STRICT"}, {"strict", true}, {"bundle", "web"}}}).dump(2) + "\n"},
      {{"ls", "--folders"}, "acme/\nacme/api/\nacme/api/sub/\nzeta/\nzeta//\nzeta/x/\n"},
      {{"bundle", "ls", "acme/api"},
       "web  (3 keys)\n  acme/api/KEY\n  acme/api/OTHER\n  acme/api/STRICT [strict]\n"},
      {{"session", "--json"}, json::array({{{"prefix", "acme/api/"}, {"count", 3}}}).dump(2) + "\n"},
      {{"config", "--json"},
       json{{"default_timeout", 14400}, {"timeouts", {{{"prefix", "acme/api/"}, {"timeout", 7200}}}}}.dump(
           2) +
           "\n"},
      {{"bundle", "ls", "acme/api", "--json"},
       json::parse(R"([{"bundle": "web", "accounts": [{"account": "acme/api/KEY", "strict": false},
           {"account": "acme/api/OTHER", "strict": false}, {"account": "acme/api/STRICT", "strict": true}]}])")
               .dump(2) +
           "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    auto run = runTool(c.args);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, c.out);
  }
  // A plain ls may prompt; --no-prompt, which completion sends, is the end-to-end completion test's.
  runTool({"ls", "--names"});
  EXPECT_FALSE(server_.requests().back().contains("no_prompt"));
}

// Switching the log, its "off" notice and the -n limit are the end-to-end audit tests'.
TEST(AuditShow, PrintsOldestFirstAndDefusesWhatTheFileHolds) {
  FakeServer server([](const json&) -> json {
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
}

TEST_F(ToolTest, EveryCommandHasHelpWithExamplesAndNoneIsARequest) {
  std::vector<std::vector<std::string>> pending = {{"help"}};
  size_t seen = 0;
  while (!pending.empty()) {
    const std::vector<std::string> args = pending.back();
    pending.pop_back();
    auto run = runTool(args);
    const std::string name = args.size() == 1 ? "caskel" : args.back();
    ASSERT_EQ(run.code, 0) << name << run.err;
    const size_t examples = run.out.find("\nExamples:\n  ");
    EXPECT_NE(examples, std::string::npos) << name;
    EXPECT_NE(run.out.find("caskel ", examples), std::string::npos) << name;
    EXPECT_THAT(run.out, HasSubstr("Usage: caskel")) << name;
    for (const auto& sub : test::listedCommands(run.out)) {
      pending.push_back(args);
      pending.back().push_back(sub);
    }
    ++seen;
  }
  EXPECT_GT(seen, 30u);
  EXPECT_EQ(runTool({"--help"}).out, runTool({"help"}).out);
  EXPECT_EQ(runTool({"ls", "--help"}).out, runTool({"help", "ls"}).out);
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(ToolTest, MistypedCommandsGetASuggestion) {
  struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"lss"}, "Unknown command \"lss\". Did you mean \"ls\"?\n"},
      {{"unlcok", "acme"}, "Unknown command \"unlcok\". Did you mean \"unlock\"?\n"},
      {{"complet"}, "Unknown command \"complet\". Did you mean \"completion\"?\n"},
      {{"bundle", "lss", "acme"}, "Unknown command \"bundle lss\". Did you mean \"bundle ls\"?\n"},
      {{"audit", "of"}, "Unknown command \"audit of\". Did you mean \"audit off\"?\n"},
      {{"help", "gte"}, "Unknown command \"gte\". Did you mean \"get\"?\n"},
      {{"xyzzy"}, "Unknown command \"xyzzy\". Run `caskel help` to see the commands.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    auto run = runTool(c.args);
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.err, c.err);
  }
  EXPECT_TRUE(server_.requests().empty());
}

TEST(Completion, ScriptsAreValidForTheirShells) {
  test::TempDir dir;
  for (const char* shell : {"bash", "zsh", "fish"}) {
    SCOPED_TRACE(shell);
    auto run = runTool({"completion", shell});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("caskel ls"));
    test::writeText(dir.file(shell), run.out);
    const std::string check = std::string("command -v ") + shell + " >/dev/null || exit 0; " + shell +
                              (std::string(shell) == "fish" ? " --no-execute " : " -n ") + dir.file(shell);
    const int status = std::system(check.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << check;
  }
}

}  // namespace
}  // namespace caskel::cli
