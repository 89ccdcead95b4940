// Help, examples, suggestions for mistyped commands, and the completion scripts' syntax.
#include <gmock/gmock.h>
#include <sys/wait.h>

#include <cstdlib>

#include "fake_server.h"
#include "support/test_env.h"

namespace caskel::cli {
namespace {

using test::listedCommands;
using test::runTool;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(Help, EveryCommandHasExamples) {
  test::FakeServer server([](const nlohmann::json&) { return nlohmann::json{{"ok", true}}; });
  std::vector<std::vector<std::string>> pending = {{}};
  size_t seen = 0;
  while (!pending.empty()) {
    std::vector<std::string> path = pending.back();
    pending.pop_back();
    std::vector<std::string> args = {"help"};
    args.insert(args.end(), path.begin(), path.end());
    auto run = runTool(args);
    const std::string name = path.empty() ? "caskel" : path.back();
    ASSERT_EQ(run.code, 0) << name << run.err;
    const size_t examples = run.out.find("\nExamples:\n  ");
    EXPECT_NE(examples, std::string::npos) << name;
    EXPECT_NE(run.out.find("caskel ", examples), std::string::npos) << name;
    EXPECT_THAT(run.out, HasSubstr("Usage: caskel")) << name;
    for (const auto& sub : listedCommands(run.out)) {
      auto next = path;
      next.push_back(sub);
      pending.push_back(next);
    }
    ++seen;
  }
  EXPECT_GT(seen, 30u);
  // Help is never a request.
  EXPECT_TRUE(server.requests().empty());
  // --help says the same as help.
  EXPECT_EQ(runTool({"ls", "--help"}).out, runTool({"help", "ls"}).out);
}

TEST(Help, MistypedCommandsGetASuggestion) {
  test::FakeServer server([](const nlohmann::json&) { return nlohmann::json{{"ok", true}}; });
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
  EXPECT_TRUE(server.requests().empty());
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
  EXPECT_THAT(runTool({"completion", "bash"}).out, StartsWith("# bash completion for caskel"));
  EXPECT_EQ(runTool({"completion", "tcsh"}).code, 2);
}

}  // namespace
}  // namespace caskel::cli
