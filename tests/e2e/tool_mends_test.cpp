// The tool's everyday commands against the real server: keys that name no item, metadata kept
// across `set`, honest answers when there is nothing to act on, `run` and stop signals, and
// what `make run` builds.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

using ToolMends = ToolFixture;

TEST_F(ToolMends, KeysThatNameNoItemAreRefusedAndOldOnesCanBeDeleted) {
  for (const char* key : {"acme/web/", "acme//web/K", "acme/../K", "KEY"}) {
    EXPECT_TRUE(failedWith(caskel({"set", key}, "some-value-123"), 2, "specify the full key")) << key;
    EXPECT_EQ(caskel({"rotate", key}, "new-value-123").code, 2) << key;
    EXPECT_EQ(listed(key), nullptr) << key;
  }
  writeText(tools.file("one.env"), "A=1\n");
  EXPECT_EQ(caskel({"import", "acme//web", tools.file("one.env")}).code, 2);
  EXPECT_EQ(listed("acme//web/A"), nullptr);

  // One stored by an older version: its folder cannot be loaded while it is there.
  seed("acme/web/OK", "ok-value-123");
  rawSql(server.dataDir() + "/vault.db",
         "INSERT INTO items(service, account, sealed, generic) SELECT service, 'acme/web/', sealed, generic "
         "FROM items WHERE account = 'acme/web/OK'");
  EXPECT_TRUE(failedWith(caskel({"env", "acme/web"}), 1, "Invalid key path \"acme/web/\""));
  EXPECT_TRUE(failedWith(caskel({"meta", "acme/web/", "--desc", "x"}), 1, "specify the full key"));

  EXPECT_TRUE(printed(caskel({"ls"}), "acme/web/\n"));
  EXPECT_EQ(caskel({"rm", "acme/web/"}).code, 0);
  EXPECT_EQ(listed("acme/web/"), nullptr);
  EXPECT_TRUE(printed(caskel({"env", "acme/web"}), "OK='ok-value-123'"));
}

TEST_F(ToolMends, SetWithFlagsChangesOnlyTheFieldsTheyName) {
  seed("acme/web/K", "old-value-123",
       {{"type", "token"},
        {"bundle", "deploy"},
        {"desc", "old"},
        {"expires", "2030-01-01"},
        {"rotate", "90d"},
        {"strict", true}});
  ASSERT_TRUE(printed(caskel({"set", "acme/web/K", "--desc", "new"}, "new-value-123"), "Stored acme/web/K"));
  json entry = listed("acme/web/K");
  const json kept = {{"type", "token"}, {"bundle", "deploy"}, {"expires", "2030-01-01"}, {"rotate", "90d"}};
  for (const auto& [field, value] : kept.items()) EXPECT_EQ(entry[field], value) << field;
  EXPECT_EQ(entry["desc"], "new");
  EXPECT_EQ(entry["strict"], true);

  // Empty text and --no-strict clear exactly what they name.
  ASSERT_TRUE(printed(caskel({"set", "acme/web/K", "--desc=", "--bundle=", "--no-strict"}, "newer-value-123"),
                      "Stored acme/web/K"));
  entry = listed("acme/web/K");
  for (const char* field : {"desc", "bundle", "strict"}) EXPECT_FALSE(entry.contains(field)) << entry;
  EXPECT_EQ(entry["type"], "token");
  EXPECT_EQ(entry["rotate"], "90d");
  EXPECT_EQ(caskel({"set", "acme/web/K", "--strict", "--no-strict"}, "v-1234").code, 2);
}

TEST_F(ToolMends, NothingToActOnIsSaidAndCostsNoPrompt) {
  seed("acme/web/K", "value-1234");
  const int before = prompts();

  writeText(tools.file("plain.txt"), "A=1\n");
  const struct {
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {{"rm", "acme/web/NOPE"}, "acme/web/NOPE does not exist"},
      {{"unlock", "acme/none"}, "No secrets under acme/none/"},
      // The new value is never asked for: standard input is left unread.
      {{"rotate", "acme/web/NOPE"}, "acme/web/NOPE does not exist"},
      {{"scan", tools.file("plain.txt")}, "cannot scan"},
      {{"scan", tools.file("missing")}, "cannot scan"},
  };
  for (const auto& c : cases)
    EXPECT_TRUE(failedWith(caskel(c.args, "new-value-1234"), 1, c.says)) << c.args[0] << " " << c.args[1];
  EXPECT_EQ(server.request({{"cmd", "session"}})["unlocked"], json::array());
  EXPECT_EQ(prompts(), before);
}

TEST_F(ToolMends, CountsAreOfDistinctKeysAndValuesShowOnOneLine) {
  ::mkdir(tools.file("proj").c_str(), 0700);
  writeText(tools.file("proj/.env"), "A=1\nB=2\nA=3\n");
  EXPECT_TRUE(printed(caskel({"scan", tools.file("proj")}), "(2 keys: A, B)"));
  EXPECT_TRUE(printed(caskel({"import", "acme/imp", tools.file("proj/.env")}), "Imported 2 of 2 keys"));
  EXPECT_EQ(caskel({"set", "acme/web/ML"}, "ab\ncd-efgh-ijkl\n").out,
            "Stored acme/web/ML (ab\xEF\xBF\xBD"
            "cd-ef...)\n");
  auto peek = caskel({"peek", "acme/web/ML"});
  EXPECT_TRUE(peek.out.starts_with("ab\xEF\xBF\xBD")) << peek.out;
  EXPECT_EQ(peek.out.find('\n'), peek.out.size() - 1) << peek.out;
}

TEST_F(ToolMends, RunPassesStopSignalsToItsCommandAndExitsWithItsStatus) {
  seed("acme/sig/K", "value-1234");
  struct {
    int signal;
    bool trapped;
    int code;
  } cases[] = {{SIGINT, true, 7}, {SIGTERM, true, 7}, {SIGHUP, true, 7}, {SIGTERM, false, 128 + SIGTERM}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(sigabbrev_np(c.signal)) + (c.trapped ? " trapped" : ""));
    const std::string record = tools.file("got-" + std::to_string(&c - cases));
    // The command says which signal reached it, then ends with 7; untrapped, it dies of it.
    const std::string script =
        c.trapped
            ? "for s in INT TERM HUP; do trap \"echo $s > '$0'; kill \\$! 2>/dev/null; exit 7\" $s; done; "
              "echo ready $$; while :; do sleep 1 & wait $!; done"
            : "echo ready $$; exec sleep 30";
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    const pid_t pid = spawn({caskelPath(), "run", "acme/sig", "--", "sh", "-c", script, record}, toolEnv(),
                            [&] { ::dup2(pipeFds[1], 1); });
    ::close(pipeFds[1]);
    // Bounded, so a broken tool fails instead of hanging.
    const std::string seen = readLine(pipeFds[0], 30000);
    ::close(pipeFds[0]);
    ASSERT_TRUE(seen.starts_with("ready ")) << seen;
    const pid_t command = std::stoi(seen.substr(6));
    ::kill(pid, c.signal);
    bool ended = false;
    const int status = awaitExit(pid, 30000, &ended);
    // A command left behind would hold this test's output open.
    if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != c.code) ::kill(command, SIGKILL);
    EXPECT_TRUE(ended) << "caskel run did not end after the signal";
    ASSERT_TRUE(WIFEXITED(status)) << "caskel run died of signal "
                                   << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), c.code);
    EXPECT_EQ(readText(record), c.trapped ? std::string(sigabbrev_np(c.signal)) + "\n" : "");
  }
}

TEST_F(ToolMends, MakeRunBuildsOnlyThePrograms) {
  const auto run = runProcess({"make", "-n", "-C", CASKEL_SOURCE_DIR, "run"});
  for (const char* part : {"install-deps.sh run", "-DCASKEL_BUILD_TESTS=OFF", "-DCASKEL_BUILD_BENCH=OFF",
                           "--target caskeld caskel"})
    EXPECT_TRUE(printed(run, part));
  EXPECT_FALSE(has(run.out, "-B build ")) << run.out;
  const auto test = runProcess({"make", "-n", "-C", CASKEL_SOURCE_DIR, "test-release"});
  for (const char* part : {"install-deps.sh all", "cmake --build build -j"}) EXPECT_TRUE(printed(test, part));
}

}  // namespace
}  // namespace caskel::test
