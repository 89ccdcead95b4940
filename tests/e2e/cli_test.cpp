// The real caskel tool against the real caskeld, run as a person, a script and an AI agent
// would run it. Output formats and refusals decided by the tool alone are tested in tests/cli;
// here, what only the pair shows.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <tuple>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

// Values that break naive quoting: shell quotes, expansions, comment marks, line breaks.
const std::map<std::string, std::string> kAwkward = {
    {"QUOTES", "it's \"double\" and 'single'"},
    {"NEWLINES", "line one\nline two\n"},
    {"DOLLAR", "$HOME ${PATH} $(id) `uname`"},
    {"HASH", "value # not a comment"},
    {"SPACES", "  padded value  "},
    {"BACKSLASH", "back\\slash \\n \\\\"},
    {"EMPTY", ""},
};

class CliTest : public ToolFixture {
 protected:
  std::string rawValue(const std::string& key) {
    auto r = caskel({"get", key, "--raw"});
    EXPECT_EQ(r.code, 0) << key << ": " << r.err;
    return r.out;
  }
  // The script path out of "source '<path>'".
  static std::string sourcedPath(const std::string& out) {
    const std::string head = "source '";
    if (!out.starts_with(head) || !out.ends_with("'\n")) return {};
    return out.substr(head.size(), out.size() - head.size() - 2);
  }
  // A file standing in for the clipboard, with the commands that use it.
  Env clipboard(const std::string& board) {
    writeText(board, "");
    return {{"CASKEL_CLIPBOARD_COPY", "cat > '" + board + "'"},
            {"CASKEL_CLIPBOARD_PASTE", "cat '" + board + "'"},
            {"CASKEL_CLIPBOARD_CLEAR", ": > '" + board + "'"},
            {"CASKEL_CLIPBOARD_CLEAR_SECONDS", "1"}};
  }

  const std::string scriptDir = runtimeDir + "/caskel";
};

TEST_F(CliTest, SetFromStdinThenReadListAndDelete) {
  ASSERT_TRUE(printed(caskel({"set", "acme/web/API_KEY", "--type", "api_key", "--desc", "the web key"},
                             "sk-live-0123456789\n"),
                      "Stored acme/web/API_KEY"));
  // Only the one line break the terminal or echo adds is dropped.
  EXPECT_EQ(rawValue("acme/web/API_KEY"), "sk-live-0123456789");
  caskel({"set", "acme/web/TWO_LINES"}, "a\nb\n\n");
  EXPECT_EQ(rawValue("acme/web/TWO_LINES"), "a\nb\n");
  caskel({"set", "other/x/K"}, "v");
  EXPECT_EQ(caskel({"peek", "acme/web/API_KEY"}).out, "sk-l...\n");  // a quarter of the value at most

  auto ls = caskel({"ls", "acme/web"});
  EXPECT_EQ(ls.code, 0) << ls.err;
  for (const char* shown : {"acme/web/API_KEY", "[api_key]", "the web key"}) EXPECT_TRUE(has(ls.out, shown));
  for (const char* hidden : {"other/x/K", "sk-live"}) EXPECT_FALSE(has(ls.out, hidden)) << ls.out;
  std::set<std::string> accounts;
  for (const auto& e : json::parse(caskel({"ls", "--json"}).out, nullptr, false))
    accounts.insert(e.value("account", ""));
  EXPECT_EQ(accounts, (std::set<std::string>{"acme/web/API_KEY", "acme/web/TWO_LINES", "other/x/K"}));

  EXPECT_EQ(caskel({"rm", "acme/web/API_KEY"}).code, 0);
  EXPECT_TRUE(failedWith(caskel({"get", "acme/web/API_KEY", "--raw"}), 1, "not found"));
  EXPECT_EQ(caskel({"peek", "acme/web/API_KEY"}).code, 1);
}

TEST_F(CliTest, MetaStrictAndExpiryLabels) {
  put("acme/web/OLD", "old-secret");
  put("acme/web/NEW", "new-secret");
  EXPECT_EQ(caskel({"meta", "acme/web/OLD", "--type=token", "--expires=2000-01-01", "--rotate=yearly"}).code,
            0);
  EXPECT_EQ(caskel({"meta", "acme/web/NEW", "--expires=2999-12-31", "--bundle=web"}).code, 0);
  auto ls = caskel({"ls"});
  for (const char* shown : {"EXPIRED(2000-01-01)", "[token]", "rotate:yearly"})
    EXPECT_TRUE(has(ls.out, shown)) << ls.out;
  EXPECT_FALSE(has(ls.out, "EXPIRES-SOON"));
  json entries = json::parse(caskel({"ls", "--json"}).out, nullptr, false);
  ASSERT_EQ(entries.size(), 2u);
  for (const auto& e : entries)
    EXPECT_TRUE(e["account"] == "acme/web/OLD" ? e["expired"] == true : e["bundle"] == "web") << e;
  // "--type=" clears the field.
  EXPECT_EQ(caskel({"meta", "acme/web/OLD", "--type="}).code, 0);
  EXPECT_FALSE(has(caskel({"ls"}).out, "[token]"));
  EXPECT_EQ(caskel({"meta", "acme/web/MISSING", "--type=x"}).code, 1);

  // A strict key asks every time, also within a session that covers its folder.
  ASSERT_EQ(caskel({"strict", "acme/web/OLD"}).code, 0);
  ASSERT_EQ(caskel({"unlock", "acme/web"}).code, 0);
  int before = prompts();
  EXPECT_EQ(rawValue("acme/web/OLD"), "old-secret");
  EXPECT_GT(prompts(), before);
  EXPECT_EQ(caskel({"unstrict", "acme/web/OLD"}).code, 0);
  EXPECT_EQ(caskel({"strict", "acme/web/MISSING"}).code, 1);
}

TEST_F(CliTest, UnlockSessionLockAndConfig) {
  put("acme/web/A", "alpha");
  put("acme/web/B", "beta");
  EXPECT_EQ(caskel({"unlock", "acme/web", "--timeout=90m"}).out,
            "Unlocked acme/web/ for 1h 30m (2 keys cached).\n");
  EXPECT_TRUE(has(caskel({"session"}).out, "acme/web/"));
  EXPECT_EQ(caskel({"lock", "acme/web"}).code, 0);
  EXPECT_EQ(caskel({"session"}).out, "No unlocked sessions.\n");

  // Folder time-outs are kept in a file: they outlive the server.
  EXPECT_EQ(caskel({"config", "--prefix", "acme/web", "--timeout", "2h"}).code, 0);
  ASSERT_TRUE(server.restart(SIGTERM)) << server.output();
  EXPECT_TRUE(has(caskel({"config"}).out, "acme/web/  2h"));
  EXPECT_EQ(caskel({"config", "--remove", "acme/web"}).code, 0);
  EXPECT_FALSE(has(caskel({"config"}).out, "acme/web/"));
}

TEST_F(CliTest, RotateTakesThePipedValueAndKeepsTheOldOne) {
  put("acme/web/TOKEN", "old-token-value");
  auto rotated = caskel({"rotate", "acme/web/TOKEN"}, "new-token-value-123\n");
  ASSERT_TRUE(printed(rotated, "Current value starts with: old..."));
  EXPECT_TRUE(has(rotated.out, "acme/web/TOKEN_OLD for one hour"));
  EXPECT_FALSE(has(rotated.out, "new-token"));
  EXPECT_EQ(rawValue("acme/web/TOKEN"), "new-token-value-123");
  EXPECT_EQ(rawValue("acme/web/TOKEN_OLD"), "old-token-value");
  json backup = listed("acme/web/TOKEN_OLD");
  EXPECT_EQ(backup["type"], "rotated_backup");
  EXPECT_EQ(backup["desc"], "Auto-saved by rotate. Will expire in 1h.");

  EXPECT_EQ(caskel({"rotate", "acme/web/TOKEN"}, "").code, 1);
  EXPECT_EQ(rawValue("acme/web/TOKEN"), "new-token-value-123");
}

TEST_F(CliTest, CopyGoesToTheClipboardAndIsClearedWhenUnchanged) {
  put("acme/web/K", "copied-value");
  const std::string board = tools.file("clipboard");
  const auto env = clipboard(board);
  auto copy = caskel({"get", "acme/web/K", "--copy"}, "", env);
  ASSERT_EQ(copy.code, 0) << copy.err;
  EXPECT_FALSE(has(copy.out + copy.err, "copied-value"));
  EXPECT_TRUE(waitUntil([&] { return readText(board).empty(); }, tools.path()));

  // set --clipboard reads it, stores it and then clears it.
  writeText(board, "from-the-clipboard");
  ASSERT_EQ(caskel({"set", "acme/web/PASTED", "--clipboard"}, "", env).code, 0);
  EXPECT_EQ(rawValue("acme/web/PASTED"), "from-the-clipboard");
  EXPECT_EQ(readText(board), "");

  EXPECT_TRUE(failedWith(caskel({"get", "acme/web/K", "--copy"}), 1, "clipboard"));
}

TEST_F(CliTest, LoadEnvBundlesAndAnExportImportRoundTripKeepAwkwardValues) {
  // Two of them make up the bundle "db".
  for (const auto& [name, value] : kAwkward)
    put("acme/web/" + name, value,
        name == "QUOTES" || name == "DOLLAR" ? json{{"bundle", "db"}} : json::object());
  put("acme/other/NOT_THIS", "x");
  // Sourcing `load` must give back every value exactly.
  std::string check, expected;
  for (const auto& [name, value] : kAwkward) {
    check += "printf '%s\\0' \"$" + name + "\"; ";
    expected += value + std::string(1, '\0');
  }
  auto sourced = bash("eval \"$(\"$CASKEL\" load acme/web)\" || exit 9; " + check);
  EXPECT_TRUE(outcome(sourced, sourced.code == 0 && sourced.out == expected));
  auto env = caskel({"env", "acme/web"});
  EXPECT_TRUE(has(env.out, "QUOTES='it'\\''s \"double\" and '\\''single'\\'''\n")) << env.out;
  EXPECT_FALSE(has(env.out, "NOT_THIS"));
  auto bundles = caskel({"bundle", "ls", "acme/web"});
  EXPECT_TRUE(has(bundles.out, "db") && !has(bundles.out, "double")) << bundles.out << bundles.err;
  auto bundled = bash(
      "eval \"$(\"$CASKEL\" bundle load acme/web/db)\" || exit 9; "
      "printf '%s|%s|%s' \"$QUOTES\" \"$DOLLAR\" \"${HASH-unset}\"");
  EXPECT_EQ(bundled.out, kAwkward.at("QUOTES") + "|" + kAwkward.at("DOLLAR") + "|unset") << bundled.err;
  EXPECT_EQ(caskel({"bundle", "load", "acme/web/nothing"}).code, 1);

  const std::string file = tools.file("out.env");
  ASSERT_EQ(caskel({"export", "acme/web", file}).code, 0);
  EXPECT_EQ(modeOf(file), 0600);
  ASSERT_TRUE(printed(caskel({"import", "copy/web", file}), "Imported " + std::to_string(kAwkward.size())));
  for (const auto& [name, value] : kAwkward) EXPECT_EQ(rawValue("copy/web/" + name), value) << name;
  EXPECT_EQ(caskel({"import", "copy/web", tools.file("missing.env")}).code, 1);
}

// Sourced, the script sets the exact value and is removed; left unsourced, it is private and
// removes itself after its time-out.
TEST_F(CliTest, GetScriptSetsTheExactValueAndIsRemovedSourcedOrNot) {
  const std::string value = "it's \"q\" $HOME `id`\nsecond line $(echo no)\n";
  put("acme/web/API_KEY", value);
  auto r = bash("eval \"$(\"$CASKEL\" get acme/web/API_KEY)\" || exit 9; printf '%s' \"$API_KEY\"");
  EXPECT_TRUE(outcome(r, r.code == 0 && r.out == value));
  std::error_code absent;
  auto gone = [&] { return std::filesystem::is_empty(scriptDir, absent) || absent; };
  EXPECT_TRUE(waitUntil(gone, scriptDir));

  r = caskel({"get", "acme/web/API_KEY"}, "", {{"CASKEL_SCRIPT_TTL_SECONDS", "1"}});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string path = sourcedPath(r.out);
  EXPECT_TRUE(path.starts_with(scriptDir + "/")) << r.out;
  EXPECT_EQ(modeOf(scriptDir), 0700);
  // Gone already would mean the wait below proves nothing; it has at least a second to live.
  EXPECT_EQ(modeOf(path), 0600);
  EXPECT_TRUE(waitUntil([&] { return modeOf(path) < 0; }, scriptDir));
}

TEST_F(CliTest, AgentBlockedCommandsAreRefusedAndNameTheSafeAlternative) {
  const std::string value = "agent-must-not-see-this";
  put("acme/web/API_KEY", value, {{"bundle", "web"}});
  const std::string board = tools.file("clipboard"), file = tools.file("agent.env");
  const auto env = clipboard(board);
  for (const auto& args : std::vector<std::vector<std::string>>{{"get", "acme/web/API_KEY", "--raw"},
                                                                {"get", "acme/web/API_KEY", "--copy"},
                                                                {"load", "acme/web"},
                                                                {"env", "acme/web"},
                                                                {"export", "acme/web", file},
                                                                {"bundle", "load", "acme/web/web"}}) {
    auto r = agentCaskel(args, env);
    EXPECT_TRUE(failedWith(r, 1, "blocked for AI agents")) << args[0];
    EXPECT_TRUE(has(r.err, "caskel get") || has(r.err, "caskel run")) << args[0] << ": " << r.err;
    EXPECT_FALSE(has(r.err, value)) << args[0];
  }
  EXPECT_LT(modeOf(file), 0);
  EXPECT_EQ(readText(board), "");
}

TEST_F(CliTest, AgentGetGivesAnEncryptedScriptThatSetsTheExactValue) {
  const std::string value = "it's \"q\" $HOME `id`\nline two";
  put("acme/web/API_KEY", value);
  auto r = agentCaskel({"get", "acme/web/API_KEY"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string path = sourcedPath(r.out);
  ASSERT_FALSE(path.empty()) << r.out;
  const std::string script = readText(path);
  EXPECT_FALSE(has(script, "line two") || has(script, "it's"));
  EXPECT_TRUE(has(script, "openssl enc -d"));
  auto sourced = bash("source \"$1\" || exit 9; printf '%s' \"$API_KEY\"", {path});
  EXPECT_TRUE(outcome(sourced, sourced.code == 0 && sourced.out == value));
  EXPECT_LT(modeOf(path), 0);

  // The way an agent uses it: in one shell, the value never in what it prints.
  const std::string dump = tools.file("agent-value");
  auto inShell =
      bash("eval \"$(\"$CASKEL\" get acme/web/API_KEY)\" || exit 9; printf '%s' \"$API_KEY\" > \"$1\"",
           {dump}, true);
  ASSERT_EQ(inShell.code, 0) << inShell.err;
  EXPECT_EQ(readText(dump), value);
  EXPECT_FALSE(has(inShell.out + inShell.err, "line two"));
}

TEST_F(CliTest, AgentRunRedactsValuesOfFourCharactersOrMoreInTheChildsOutput) {
  const std::string value = "agent-run-secret-0123456789";
  put("acme/web/API_KEY", value);
  put("acme/web/SHORT", "7");
  const std::string dump = tools.file("agent-run");
  auto r = agentCaskel({"run", "acme/web", "--", "/bin/sh", "-c",
                        "printf 'key=%s build %s\\n' \"$API_KEY\" \"$SHORT\"; printf '%s' \"$API_KEY\" >&2; "
                        "printf '%s' \"$API_KEY\" > \"$0\"",
                        dump});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(readText(dump), value);
  EXPECT_EQ(r.out, "key=<redacted:API_KEY> build 7\n");
  EXPECT_EQ(r.err, "<redacted:API_KEY>");
}

// The peeks the guard looks for come from the server's listing, in pipe mode and in Claude
// Code's hook protocol; looking costs no prompt.
TEST_F(CliTest, GuardFlagsAPeekTheServerStored) {
  // Long enough for a peek of eight characters, the shortest the guard looks for.
  put("acme/web/API_KEY", "peekable-secret-value-0123456789abcdef");
  const int before = prompts();
  const std::string leaky = "build log\nkey is peekable-secret-value-0123456789abcdef, oops\n";
  auto warned = caskel({"guard"}, leaky);
  EXPECT_TRUE(
      outcome(warned, warned.code == 0 && warned.out == leaky && has(warned.err, "acme/web/API_KEY")));
  EXPECT_FALSE(has(warned.err, "peekable"));  // the warning does not repeat it
  EXPECT_NE(caskel({"guard", "--strict"}, leaky).code, 0);

  auto event = [](const std::string& stdoutText) {
    return json{{"session_id", "s1"},
                {"hook_event_name", "PostToolUse"},
                {"tool_name", "Bash"},
                {"tool_input", {{"command", "cat .env"}}},
                {"tool_response", {{"stdout", stdoutText}, {"stderr", ""}, {"interrupted", false}}}}
        .dump();
  };
  auto leak = caskel({"guard", "--hook"}, event(leaky));
  EXPECT_TRUE(failedWith(leak, 2, "acme/web/API_KEY"));
  EXPECT_FALSE(has(leak.err, "peekable"));
  auto clean = caskel({"guard", "--hook"}, event("all tests passed\n"));
  EXPECT_TRUE(outcome(clean, clean.code == 0 && clean.out + clean.err == ""));
  EXPECT_EQ(prompts(), before);
}

TEST_F(CliTest, ASocketDirectoryThatIsNotOursAloneGetsNoRequest) {
  put("acme/web/K", "directory-check-value");
  ASSERT_TRUE(server.waitForAudit({"SET", "acme/web/K"}));
  const std::string dir = server.socketDir();
  const size_t audited = server.auditLines().size();
  const int before = prompts();
  for (const auto& [owner, mode, says] : std::vector<std::tuple<uid_t, mode_t, std::string>>{
           {65534, 0700, " belongs to uid 65534"}, {::getuid(), 0755, " has mode 0755"}}) {
    ASSERT_EQ(::chown(dir.c_str(), owner, owner), 0);
    ASSERT_EQ(::chmod(dir.c_str(), mode), 0);
    EXPECT_TRUE(failedWith(caskel({"get", "acme/web/K", "--raw"}), 1, dir + says));
    EXPECT_EQ(caskel({"update"}).code, 1);
  }
  EXPECT_EQ(prompts(), before);
  EXPECT_LT(modeOf(server.home() + "/.local/bin/caskel"), 0);
  // Private again, the same read reaches the server; the log, written in order, shows that
  // read and none before it.
  ASSERT_EQ(::chown(dir.c_str(), ::getuid(), ::getgid()), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
  EXPECT_EQ(rawValue("acme/web/K"), "directory-check-value");
  ASSERT_TRUE(server.waitForAudit({"GET", "acme/web/K"}));
  const auto lines = server.auditLines();
  EXPECT_EQ(std::count_if(lines.begin() + static_cast<long>(audited), lines.end(),
                          [](const std::string& l) { return has(l, "acme/web/K"); }),
            1);
}

TEST_F(CliTest, TheToolIsIdentifiedByAnOrdinaryServerYetUnreadableWhileItHoldsValues) {
  // The server must read who asks in /proc, which it may only while the tool is dumpable; the
  // tool's command must not be able to read the tool, which holds the values meanwhile.
  const auto launcher = unprivilegedLauncher();
  CaskeldProcess plain([&](auto& o) { o.launcher = launcher; });
  ASSERT_TRUE(plain.start()) << plain.output();
  const Env env = {{"CASKEL_SOCKET", plain.socketPath()}, {"HOME", plain.home()}};
  ASSERT_EQ(caskel({"set", "acme/web/K"}, "plain-server-value\n", env, launcher).code, 0);
  auto got = caskel({"get", "acme/web/K", "--raw"}, "", env, launcher);
  EXPECT_EQ(got.out, "plain-server-value") << got.err;
  auto run = caskel({"run", "acme/web", "--", "/bin/sh", "-c",
                     "readlink /proc/$$/exe > /dev/null && echo command-readable; "
                     "readlink /proc/$PPID/exe || echo tool-unreadable; "
                     "awk '/core file/ { print \"core\", $5, $6 }' /proc/$PPID/limits"},
                    "", env, launcher);
  EXPECT_EQ(run.out, "command-readable\ntool-unreadable\ncore 0 0\n") << run.err;
}

}  // namespace
}  // namespace caskel::test
