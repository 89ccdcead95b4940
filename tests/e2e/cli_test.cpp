// The real caskel tool against the real caskeld, run as a person, a script and an AI agent
// would run it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include "base/verification_commands.h"
#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

using json = nlohmann::json;

// Values that break naive quoting: shell quotes, expansions, comment marks, line breaks.
const std::map<std::string, std::string>& awkwardValues() {
  static const std::map<std::string, std::string> values = {
      {"QUOTES", "it's \"double\" and 'single'"},
      {"NEWLINES", "line one\nline two\n"},
      {"DOLLAR", "$HOME ${PATH} $(id) `uname`"},
      {"HASH", "value # not a comment"},
      {"SPACES", "  padded value  "},
      {"BACKSLASH", "back\\slash \\n \\\\"},
      {"EMPTY", ""},
  };
  return values;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.output();
    runtimeDir = server.home() + "/run";
    ::mkdir(runtimeDir.c_str(), 0700);
  }

  static std::string caskelPath() { return buildPath("src/caskel"); }
  std::string scriptDir() const { return runtimeDir + "/caskel"; }

  // Runs `argv` with the tool's environment pointed at this server and `input` as standard input.
  ProcessResult runProgram(const std::vector<std::string>& argv, const std::string& input = "",
                           const std::map<std::string, std::string>& extraEnv = {}) {
    std::map<std::string, std::string> env = {{"HOME", server.home()},
                                              {"CASKEL_SOCKET", server.socketPath()},
                                              {"XDG_RUNTIME_DIR", runtimeDir},
                                              {"CASKEL", caskelPath()},
                                              {"ASAN_OPTIONS", "detect_leaks=0"}};
    for (const auto& [k, v] : extraEnv) env[k] = v;
    RunOptions options;
    options.input = input;
    options.env = environmentWith(env, [](const std::string& name) {
      return name.starts_with("CASKEL_") || name.starts_with("XDG_") || name == "DISPLAY" ||
             name == "WAYLAND_DISPLAY";
    });
    return runProcess(argv, options);
  }

  // The tool, run under `launcher` (such as unprivilegedLauncher()) when one is given.
  ProcessResult caskel(const std::vector<std::string>& args, const std::string& input = "",
                       const std::map<std::string, std::string>& env = {},
                       std::vector<std::string> launcher = {}) {
    launcher.push_back(caskelPath());
    launcher.insert(launcher.end(), args.begin(), args.end());
    return runProgram(launcher, input, env);
  }

  // A bash script (`shell` by default, an agent's under agentShell()) with "$CASKEL" naming
  // the tool and `args` as "$1"...
  ProcessResult bash(const std::string& script, const std::vector<std::string>& args = {},
                     const std::map<std::string, std::string>& env = {},
                     const std::string& shell = "/bin/bash") {
    std::vector<std::string> argv = {shell, "-c", script, "bash"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, "", env);
  }
  ProcessResult agent(const std::string& script, const std::vector<std::string>& args = {},
                      const std::map<std::string, std::string>& env = {}) {
    return bash(script, args, env, agentShell(io.path()));
  }
  // The tool itself, started by the agent's shell.
  ProcessResult agentCaskel(const std::vector<std::string>& args,
                            const std::map<std::string, std::string>& env = {}) {
    // Not the last command of the script: bash would exec it in the shell's place.
    return agent("\"$CASKEL\" \"$@\"; rc=$?; exit $rc", args, env);
  }

  void seed(const std::string& account, const std::string& value, const json& extra = json::object()) {
    ASSERT_EQ(server.request(setRequest(account, value, extra))["ok"], true) << account;
  }
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

  TempDir io;
  CaskeldProcess server;
  std::string runtimeDir;
};

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.push_back(e.path().string());
  return names;
}

bool mentionsSafeAlternative(const std::string& err) {
  return err.find("caskel get") != std::string::npos || err.find("caskel run") != std::string::npos;
}

class CliSecrets : public CliTest {};
class CliFolders : public CliTest {};
class CliScripts : public CliTest {};
class CliAgent : public CliTest {};
class CliTool : public CliTest {};

TEST_F(CliSecrets, SetFromStdinThenReadListAndDelete) {
  auto stored = caskel({"set", "acme/web/API_KEY", "--type", "api_key", "--desc", "the web key"},
                       "sk-live-0123456789\n");
  ASSERT_EQ(stored.code, 0) << stored.err;
  EXPECT_NE(stored.out.find("Stored acme/web/API_KEY"), std::string::npos) << stored.out;
  // Only the one line break the terminal or echo adds is dropped.
  EXPECT_EQ(rawValue("acme/web/API_KEY"), "sk-live-0123456789");
  caskel({"set", "acme/web/TWO_LINES"}, "a\nb\n\n");
  EXPECT_EQ(rawValue("acme/web/TWO_LINES"), "a\nb\n");
  caskel({"set", "other/x/K"}, "v");

  auto peek = caskel({"peek", "acme/web/API_KEY"});
  EXPECT_EQ(peek.code, 0);
  EXPECT_EQ(peek.out, "sk-l...\n");  // a quarter of the value at most

  auto ls = caskel({"ls", "acme/web"});
  EXPECT_EQ(ls.code, 0) << ls.err;
  EXPECT_NE(ls.out.find("acme/web/API_KEY"), std::string::npos);
  EXPECT_NE(ls.out.find("[api_key]"), std::string::npos);
  EXPECT_NE(ls.out.find("the web key"), std::string::npos);
  EXPECT_EQ(ls.out.find("other/x/K"), std::string::npos);
  EXPECT_EQ(ls.out.find("sk-live"), std::string::npos);  // neither value nor peek

  auto listed = caskel({"ls", "--json"});
  ASSERT_EQ(listed.code, 0);
  json entries = json::parse(listed.out, nullptr, false);
  ASSERT_TRUE(entries.is_array()) << listed.out;
  std::set<std::string> accounts;
  for (const auto& e : entries) {
    accounts.insert(e["account"].get<std::string>());
    EXPECT_FALSE(e.contains("peek"));
  }
  EXPECT_EQ(accounts, (std::set<std::string>{"acme/web/API_KEY", "acme/web/TWO_LINES", "other/x/K"}));

  auto rm = caskel({"rm", "acme/web/API_KEY"});
  EXPECT_EQ(rm.code, 0) << rm.err;
  auto gone = caskel({"get", "acme/web/API_KEY", "--raw"});
  EXPECT_EQ(gone.code, 1);
  EXPECT_EQ(gone.out, "");
  EXPECT_NE(gone.err.find("not found"), std::string::npos) << gone.err;
  EXPECT_EQ(caskel({"peek", "acme/web/API_KEY"}).code, 1);
}

TEST_F(CliSecrets, MetaStrictAndExpiryLabels) {
  seed("acme/web/OLD", "old-secret");
  seed("acme/web/NEW", "new-secret");
  EXPECT_EQ(caskel({"meta", "acme/web/OLD", "--type=token", "--expires=2000-01-01", "--rotate=yearly"}).code,
            0);
  EXPECT_EQ(caskel({"meta", "acme/web/NEW", "--expires=2999-12-31", "--bundle=web"}).code, 0);
  auto ls = caskel({"ls"});
  EXPECT_NE(ls.out.find("EXPIRED(2000-01-01)"), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find("[token]"), std::string::npos);
  EXPECT_NE(ls.out.find("rotate:yearly"), std::string::npos);
  EXPECT_EQ(ls.out.find("EXPIRES-SOON"), std::string::npos);
  json entries = json::parse(caskel({"ls", "--json"}).out, nullptr, false);
  ASSERT_EQ(entries.size(), 2u);
  for (const auto& e : entries) {
    if (e["account"] == "acme/web/OLD") {
      EXPECT_EQ(e["expired"], true);
    } else {
      EXPECT_EQ(e["bundle"], "web");
    }
  }
  // "--type=" clears the field.
  EXPECT_EQ(caskel({"meta", "acme/web/OLD", "--type="}).code, 0);
  EXPECT_EQ(caskel({"ls"}).out.find("[token]"), std::string::npos);

  EXPECT_EQ(caskel({"meta", "acme/web/MISSING", "--type=x"}).code, 1);

  // A strict key asks every time, also within a session that covers its folder.
  ASSERT_EQ(caskel({"strict", "acme/web/OLD"}).code, 0);
  ASSERT_EQ(caskel({"unlock", "acme/web"}).code, 0);
  int before = server.pinentry().promptCount();
  EXPECT_EQ(rawValue("acme/web/OLD"), "old-secret");
  EXPECT_GT(server.pinentry().promptCount(), before);
  EXPECT_EQ(caskel({"unstrict", "acme/web/OLD"}).code, 0);
  EXPECT_EQ(caskel({"strict", "acme/web/MISSING"}).code, 1);
}

TEST_F(CliSecrets, UnlockSessionLockAndConfig) {
  seed("acme/web/A", "alpha");
  seed("acme/web/B", "beta");
  auto unlock = caskel({"unlock", "acme/web", "--timeout=90m"});
  ASSERT_EQ(unlock.code, 0) << unlock.err;
  EXPECT_NE(unlock.out.find("Unlocked acme/web/"), std::string::npos) << unlock.out;
  EXPECT_NE(unlock.out.find("2 keys"), std::string::npos) << unlock.out;
  EXPECT_NE(unlock.out.find("for 1h 30m"), std::string::npos) << unlock.out;
  auto session = caskel({"session"});
  EXPECT_EQ(session.code, 0);
  EXPECT_NE(session.out.find("acme/web/"), std::string::npos) << session.out;

  EXPECT_EQ(caskel({"lock", "acme/web"}).code, 0);
  EXPECT_EQ(caskel({"session"}).out, "No unlocked sessions.\n");
  EXPECT_EQ(caskel({"lock"}).code, 0);

  EXPECT_EQ(caskel({"config", "--prefix", "acme/web", "--timeout", "2h"}).code, 0);
  auto listing = caskel({"config"});
  EXPECT_EQ(listing.code, 0);
  EXPECT_NE(listing.out.find("acme/web/  2h"), std::string::npos) << listing.out;
  EXPECT_EQ(caskel({"config", "--remove", "acme/web"}).code, 0);
  EXPECT_EQ(caskel({"config"}).out.find("acme/web/"), std::string::npos);
}

TEST_F(CliSecrets, RotateTakesThePipedValueAndKeepsTheOldOne) {
  seed("acme/web/TOKEN", "old-token-value");
  auto rotated = caskel({"rotate", "acme/web/TOKEN"}, "new-token-value-123\n");
  ASSERT_EQ(rotated.code, 0) << rotated.err;
  EXPECT_NE(rotated.out.find("Current value starts with: old..."), std::string::npos) << rotated.out;
  EXPECT_NE(rotated.out.find("acme/web/TOKEN_OLD"), std::string::npos);
  EXPECT_EQ(rotated.out.find("new-token-value-123"), std::string::npos);
  EXPECT_EQ(rawValue("acme/web/TOKEN"), "new-token-value-123");
  EXPECT_EQ(rawValue("acme/web/TOKEN_OLD"), "old-token-value");

  auto missing = caskel({"rotate", "acme/web/NOPE"}, "x\n");
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("Secret not found"), std::string::npos) << missing.err;
  EXPECT_EQ(caskel({"rotate", "acme/web/TOKEN"}, "").code, 1);
  EXPECT_EQ(rawValue("acme/web/TOKEN"), "new-token-value-123");
}

TEST_F(CliSecrets, CopyGoesToTheClipboardAndIsClearedWhenUnchanged) {
  seed("acme/web/K", "copied-value");
  const std::string board = io.path() + "/clipboard";
  writeText(board, "");
  std::map<std::string, std::string> env = {{"CASKEL_CLIPBOARD_COPY", "cat > '" + board + "'"},
                                            {"CASKEL_CLIPBOARD_PASTE", "cat '" + board + "'"},
                                            {"CASKEL_CLIPBOARD_CLEAR", ": > '" + board + "'"},
                                            {"CASKEL_CLIPBOARD_CLEAR_SECONDS", "1"}};
  auto copy = caskel({"get", "acme/web/K", "--copy"}, "", env);
  ASSERT_EQ(copy.code, 0) << copy.err;
  EXPECT_EQ(copy.out.find("copied-value"), std::string::npos);
  EXPECT_EQ(copy.err.find("copied-value"), std::string::npos);
  EXPECT_TRUE(CaskeldProcess::waitUntil([&] { return readText(board).empty(); }, io.path()));

  // set --clipboard reads it, stores it and then clears it.
  writeText(board, "from-the-clipboard");
  auto set = caskel({"set", "acme/web/PASTED", "--clipboard"}, "", env);
  ASSERT_EQ(set.code, 0) << set.err;
  EXPECT_EQ(rawValue("acme/web/PASTED"), "from-the-clipboard");
  EXPECT_EQ(readText(board), "");

  auto noTool = caskel({"get", "acme/web/K", "--copy"});
  EXPECT_EQ(noTool.code, 1);
  EXPECT_NE(noTool.err.find("clipboard"), std::string::npos);
}

TEST_F(CliFolders, LoadAndEnvQuoteEveryValueForTheShell) {
  for (const auto& [name, value] : awkwardValues()) seed("acme/web/" + name, value);
  seed("acme/other/NOT_THIS", "x");
  // Sourcing `load` must give back every value exactly.
  std::string check;
  for (const auto& [name, value] : awkwardValues()) check += "printf '%s\\0' \"$" + name + "\"; ";
  auto sourced = bash("eval \"$(\"$CASKEL\" load acme/web)\" || exit 9; " + check);
  ASSERT_EQ(sourced.code, 0) << sourced.err;
  std::string expected;
  for (const auto& [name, value] : awkwardValues()) expected += value + std::string(1, '\0');
  EXPECT_EQ(sourced.out, expected);

  auto env = caskel({"env", "acme/web"});
  ASSERT_EQ(env.code, 0);
  EXPECT_NE(env.out.find("QUOTES='it'\\''s \"double\" and '\\''single'\\'''\n"), std::string::npos)
      << env.out;
  EXPECT_EQ(env.out.find("export "), std::string::npos);
  EXPECT_EQ(env.out.find("NOT_THIS"), std::string::npos);

  auto empty = caskel({"load", "nobody/here"});
  EXPECT_EQ(empty.code, 1);
  EXPECT_EQ(empty.out, "");
}

TEST_F(CliFolders, ExportImportRoundTripKeepsAwkwardValues) {
  for (const auto& [name, value] : awkwardValues()) seed("acme/web/" + name, value);
  const std::string file = io.path() + "/out.env";
  auto exported = caskel({"export", "acme/web", file});
  ASSERT_EQ(exported.code, 0) << exported.err;
  EXPECT_EQ(modeOf(file), 0600);
  EXPECT_EQ(caskel({"export", "acme/web", file}).code, 1);  // never overwritten unasked
  EXPECT_EQ(caskel({"export", "acme/web", file, "--force"}).code, 0);

  auto imported = caskel({"import", "copy/web", file});
  ASSERT_EQ(imported.code, 0) << imported.err;
  EXPECT_NE(imported.out.find("Imported " + std::to_string(awkwardValues().size())), std::string::npos)
      << imported.out;
  for (const auto& [name, value] : awkwardValues()) EXPECT_EQ(rawValue("copy/web/" + name), value) << name;

  EXPECT_EQ(caskel({"import", "copy/web", io.path() + "/missing.env"}).code, 1);
}

TEST_F(CliFolders, BundlesListAndLoadOnlyTheirKeys) {
  seed("acme/web/DB_USER", "admin", {{"bundle", "db"}});
  seed("acme/web/DB_PASS", "p@ss 'word'", {{"bundle", "db"}});
  seed("acme/web/OTHER", "other");
  auto ls = caskel({"bundle", "ls", "acme/web"});
  ASSERT_EQ(ls.code, 0) << ls.err;
  EXPECT_NE(ls.out.find("db"), std::string::npos) << ls.out;
  EXPECT_EQ(ls.out.find("admin"), std::string::npos);

  auto sourced = bash(
      "eval \"$(\"$CASKEL\" bundle load acme/web/db)\" || exit 9; printf '%s|%s|%s' \"$DB_USER\" "
      "\"$DB_PASS\" \"${OTHER-unset}\"");
  ASSERT_EQ(sourced.code, 0) << sourced.err;
  EXPECT_EQ(sourced.out, "admin|p@ss 'word'|unset");
  EXPECT_EQ(caskel({"bundle", "load", "acme/web/nothing"}).code, 1);
  EXPECT_EQ(caskel({"bundle"}).code, 2);
}

TEST_F(CliFolders, RunPassesValuesToTheChildWithoutPrintingThem) {
  const std::string value = "run-secret-'$x'\nsecond line";
  seed("acme/web/API_KEY", value);
  seed("acme/web/OTHER", "other-secret-value");
  const std::string dump = io.path() + "/child";
  auto run =
      caskel({"run", "acme/web", "--", "/bin/sh", "-c",
              "printf '%s' \"$API_KEY\" > \"$0.key\"; printf '%s' \"$OTHER\" > \"$0.other\"; exit 7", dump});
  EXPECT_EQ(run.code, 7);  // the child's exit status
  EXPECT_EQ(readText(dump + ".key"), value);
  EXPECT_EQ(readText(dump + ".other"), "other-secret-value");
  EXPECT_EQ(run.out.find("run-secret"), std::string::npos);
  EXPECT_EQ(run.err.find("run-secret"), std::string::npos);

  auto only = caskel({"run", "--only", "OTHER", "acme/web", "--", "/bin/sh", "-c",
                      "printf '%s' \"${API_KEY-unset}\"; printf ' %s' \"$OTHER\" > \"$0\"", dump + ".only"});
  EXPECT_EQ(only.code, 0) << only.err;
  EXPECT_EQ(only.out, "unset");
  EXPECT_EQ(readText(dump + ".only"), " other-secret-value");
}

TEST_F(CliScripts, EvalOfGetSetsTheExactValue) {
  const std::string value = "it's \"q\" $HOME `id`\nsecond line $(echo no)\n";
  seed("acme/web/API_KEY", value);
  auto r = bash("eval \"$(\"$CASKEL\" get acme/web/API_KEY)\" || exit 9; printf '%s' \"$API_KEY\"");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, value);
  // Sourcing removed the script.
  EXPECT_TRUE(CaskeldProcess::waitUntil([&] { return filesIn(scriptDir()).empty(); }, scriptDir()));
}

TEST_F(CliScripts, UnsourcedScriptIsPrivateAndRemovesItselfAfterItsTimeout) {
  seed("acme/web/API_KEY", "never-sourced-value");
  auto r = caskel({"get", "acme/web/API_KEY"}, "", {{"CASKEL_SCRIPT_TTL_SECONDS", "1"}});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string path = sourcedPath(r.out);
  ASSERT_FALSE(path.empty()) << r.out;
  EXPECT_TRUE(path.starts_with(scriptDir() + "/")) << path;
  EXPECT_EQ(modeOf(scriptDir()), 0700);
  // Gone already would mean the wait below proves nothing; it has at least a second to live.
  EXPECT_EQ(modeOf(path), 0600);
  EXPECT_TRUE(CaskeldProcess::waitUntil([&] { return modeOf(path) < 0; }, scriptDir()));
}

TEST_F(CliAgent, BlockedCommandsAreRefusedAndNameTheSafeAlternative) {
  const std::string value = "agent-must-not-see-this";
  seed("acme/web/API_KEY", value, {{"bundle", "web"}});
  const std::string board = io.path() + "/clipboard";
  const std::string file = io.path() + "/agent.env";
  std::map<std::string, std::string> env = {{"CASKEL_CLIPBOARD_COPY", "cat > '" + board + "'"}};
  const std::vector<std::vector<std::string>> blocked = {{"get", "acme/web/API_KEY", "--raw"},
                                                         {"get", "acme/web/API_KEY", "--copy"},
                                                         {"load", "acme/web"},
                                                         {"env", "acme/web"},
                                                         {"export", "acme/web", file},
                                                         {"bundle", "load", "acme/web/web"}};
  for (const auto& args : blocked) {
    auto r = agentCaskel(args, env);
    EXPECT_EQ(r.code, 1) << args[0] << ": " << r.out << r.err;
    EXPECT_TRUE(mentionsSafeAlternative(r.err)) << args[0] << ": " << r.err;
    EXPECT_NE(r.err.find("blocked for AI agents"), std::string::npos) << r.err;
    EXPECT_EQ((r.out + r.err).find(value), std::string::npos) << args[0];
  }
  EXPECT_LT(modeOf(file), 0);
  EXPECT_EQ(readText(board), "");
}

TEST_F(CliAgent, GetGivesAnEncryptedScriptThatSetsTheExactValue) {
  const std::string value = "it's \"q\" $HOME `id`\nline two";
  seed("acme/web/API_KEY", value);
  auto r = agentCaskel({"get", "acme/web/API_KEY"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string path = sourcedPath(r.out);
  ASSERT_FALSE(path.empty()) << r.out;
  std::string script = readText(path);
  EXPECT_EQ(script.find("line two"), std::string::npos);
  EXPECT_EQ(script.find("it's"), std::string::npos);
  EXPECT_NE(script.find("openssl enc -d"), std::string::npos);
  auto sourced = bash("source \"$1\" || exit 9; printf '%s' \"$API_KEY\"", {path});
  ASSERT_EQ(sourced.code, 0) << sourced.err;
  EXPECT_EQ(sourced.out, value);
  EXPECT_LT(modeOf(path), 0);

  // The way an agent uses it: in one shell, the value never in what it prints.
  const std::string dump = io.path() + "/agent-value";
  auto inShell = agent(
      "eval \"$(\"$CASKEL\" get acme/web/API_KEY)\" || exit 9; printf '%s' \"$API_KEY\" > \"$1\"", {dump});
  ASSERT_EQ(inShell.code, 0) << inShell.err;
  EXPECT_EQ(readText(dump), value);
  EXPECT_EQ((inShell.out + inShell.err).find("line two"), std::string::npos);
}

TEST_F(CliAgent, RunRedactsValuesInTheChildsOutput) {
  const std::string value = "agent-run-secret-0123456789";
  seed("acme/web/API_KEY", value);
  const std::string dump = io.path() + "/agent-run";
  auto r = agentCaskel(
      {"run", "acme/web", "--", "/bin/sh", "-c",
       "printf 'key=%s\\n' \"$API_KEY\"; printf '%s' \"$API_KEY\" >&2; printf '%s' \"$API_KEY\" > \"$0\"",
       dump});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(readText(dump), value);
  EXPECT_EQ(r.out, "key=<redacted:API_KEY>\n");
  EXPECT_EQ(r.err, "<redacted:API_KEY>");
}

TEST_F(CliTool, GuardPassesTextThroughAndFlagsAStoredPeek) {
  // Long enough for a peek of eight characters, the shortest the guard looks for.
  seed("acme/web/API_KEY", "peekable-secret-value-0123456789abcdef");
  std::string binary = "plain text\r\n";
  binary += std::string("\0\x01\xff\xfe tail without newline", 25);
  auto clean = caskel({"guard", "--strict"}, binary);
  EXPECT_EQ(clean.code, 0) << clean.err;
  EXPECT_EQ(clean.out, binary);
  EXPECT_EQ(clean.err, "");

  const std::string leaky = "build log\nkey is peekable-secret-value-0123456789abcdef, oops\n";
  auto warned = caskel({"guard"}, leaky);
  EXPECT_EQ(warned.code, 0);
  EXPECT_EQ(warned.out, leaky);
  EXPECT_NE(warned.err.find("acme/web/API_KEY"), std::string::npos) << warned.err;
  EXPECT_EQ(warned.err.find("peekable"), std::string::npos);  // the warning does not repeat it
  auto strict = caskel({"guard", "--strict"}, leaky);
  EXPECT_NE(strict.code, 0);
  EXPECT_EQ(strict.out, leaky);
}

TEST_F(CliTool, ASocketDirectoryThatIsNotOursAloneGetsNoRequest) {
  seed("acme/web/K", "directory-check-value");
  ASSERT_TRUE(server.waitForAudit({"SET", "acme/web/K"}));
  const std::string dir = server.socketDir();
  const size_t audited = server.auditLines().size();
  const int prompts = server.pinentry().promptCount();
  for (const auto& [owner, mode, says] : std::vector<std::tuple<uid_t, mode_t, std::string>>{
           {65534, 0700, " belongs to uid 65534"}, {::getuid(), 0755, " has mode 0755"}}) {
    ASSERT_EQ(::chown(dir.c_str(), owner, owner), 0);
    ASSERT_EQ(::chmod(dir.c_str(), mode), 0);
    auto refused = caskel({"get", "acme/web/K", "--raw"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find(dir + says), std::string::npos) << refused.err;
    EXPECT_EQ(caskel({"update"}).code, 1);
  }
  EXPECT_EQ(server.pinentry().promptCount(), prompts);
  EXPECT_LT(modeOf(server.home() + "/.local/bin/caskel"), 0);
  // Private again, the same read reaches the server; the log, written in order, shows that
  // read and none before it.
  ASSERT_EQ(::chown(dir.c_str(), ::getuid(), ::getgid()), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
  EXPECT_EQ(rawValue("acme/web/K"), "directory-check-value");
  ASSERT_TRUE(server.waitForAudit({"GET", "acme/web/K"}));
  const auto lines = server.auditLines();
  EXPECT_EQ(std::count_if(lines.begin() + static_cast<long>(audited), lines.end(),
                          [](const std::string& l) { return l.find("acme/web/K") != std::string::npos; }),
            1);
}

TEST_F(CliTool, TheToolIsIdentifiedByAnOrdinaryServerYetUnreadableWhileItHoldsValues) {
  // The server must read who asks in /proc, which it may only while the tool is dumpable; the
  // tool's command must not be able to read the tool, which holds the values meanwhile.
  CaskeldProcess::Options options;
  options.launcher = unprivilegedLauncher();
  CaskeldProcess plain(options);
  ASSERT_TRUE(plain.start()) << plain.output();
  const std::map<std::string, std::string> env = {{"CASKEL_SOCKET", plain.socketPath()},
                                                  {"HOME", plain.home()}};
  ASSERT_EQ(caskel({"set", "acme/web/K"}, "plain-server-value\n", env, options.launcher).code, 0);
  auto got = caskel({"get", "acme/web/K", "--raw"}, "", env, options.launcher);
  EXPECT_EQ(got.out, "plain-server-value") << got.err;
  auto run = caskel({"run", "acme/web", "--", "/bin/sh", "-c",
                     "readlink /proc/$$/exe > /dev/null && echo command-readable; "
                     "readlink /proc/$PPID/exe || echo tool-unreadable; "
                     "awk '/core file/ { print \"core\", $5, $6 }' /proc/$PPID/limits"},
                    "", env, options.launcher);
  EXPECT_EQ(run.out, "command-readable\ntool-unreadable\ncore 0 0\n") << run.err;
}

// What `caskel verify` prints (its unit tests check that) must never pass when it cannot run.
TEST_F(CliTool, TheConnectionsCheckNeverPassesWhenItCannotRun) {
  // A refused sudo, or no caskeld at all, must not read as "no connections"; with root's
  // listing it tells an empty result from one with the server's sockets.
  const std::string stubs = io.path() + "/stubs";
  ::mkdir(stubs.c_str(), 0700);
  writeText(stubs + "/pgrep", "#!/bin/sh\nexit 1\n");
  ::chmod((stubs + "/pgrep").c_str(), 0700);
  const std::string refused = "#!/bin/sh\necho 'sudo: a password is required' >&2\nexit 1\n";
  const std::string listing =
      "#!/bin/sh\necho 'tcp ESTAB 0 0 1.2.3.4:5 6.7.8.9:443 users:((\"x\",pid=4242,fd=3))'\n";
  // Expectations ending in a line break are the whole output, others a part of it.
  for (const auto& [sudo, pgrep, expected] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {refused, "pgrep() { echo 4242; }; ", "CHECK-FAILED\n"},
           {refused, "", "CHECK-FAILED\n"},
           {listing, "pgrep() { echo 4242; }; ", "pid=4242,"},
           {listing, "pgrep() { echo 777; }; ", "NO-CONNECTIONS\n"}}) {
    writeText(stubs + "/sudo", sudo);
    ::chmod((stubs + "/sudo").c_str(), 0700);
    auto check = bash(pgrep + verification::kConnectionsCheck, {}, {{"PATH", stubs + ":/usr/bin:/bin"}});
    if (expected.ends_with('\n')) {
      EXPECT_EQ(check.out, expected) << pgrep << sudo << check.err;
    } else {
      EXPECT_NE(check.out.find(expected), std::string::npos) << check.out;
    }
  }
}

}  // namespace
}  // namespace caskel::test
