#include <caskel/version.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <thread>

#include "base/shell_text.h"
#include "base/verification_commands.h"
#include "cli/cli_platform.h"
#include "cli/scan_command.h"
#include "cli/secret_commands.h"
#include "cli/setup_commands.h"
#include "fake_server.h"
#include "fake_vault.h"

namespace caskel::cli {
namespace {

using test::FakeServer;
using test::FakeVault;
using test::runTool;
using test::ScopedEnv;
using test::TempDir;

const std::string kAwkward = "it's \"q\" $HOME `id`\nsecond line\\";

// The path in a `source '<path>'` line.
std::string sourcedPath(const std::string& out) {
  std::smatch m;
  static const std::regex line("^source '([^']+)'\n$");
  return std::regex_match(out, m, line) ? m[1].str() : std::string();
}

bool waitUntil(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

class ToolTest : public ::testing::Test {
 protected:
  explicit ToolTest(bool agent = false) : vault_(agent) {
    vault_.put("acme/api/KEY", kAwkward, {{"type", "api_key"}, {"bundle", "web"}});
    vault_.put("acme/api/OTHER", "other-value-123", {{"bundle", "web"}});
    vault_.put("acme/api/sub/DEEP", "deep-value");
    vault_.put("zeta/x/Y", "y-value");
  }
  TempDir dir_;
  ScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
  FakeVault vault_;
  FakeServer server_{[this](const nlohmann::json& r) { return vault_.handle(r); }};
};

class AgentToolTest : public ToolTest {
 protected:
  AgentToolTest() : ToolTest(true) {}
};

// The clipboard is a file here.
class ClipboardToolTest : public ToolTest {
 protected:
  std::string clip_ = dir_.file("clip");
  ScopedEnv copy_{"CASKEL_CLIPBOARD_COPY", "cat > " + shellSingleQuote(clip_)};
  ScopedEnv paste_{"CASKEL_CLIPBOARD_PASTE", "cat " + shellSingleQuote(clip_)};
  ScopedEnv clear_{"CASKEL_CLIPBOARD_CLEAR", ": > " + shellSingleQuote(clip_)};
  ScopedEnv delay_{"CASKEL_CLIPBOARD_CLEAR_SECONDS", "1"};
};

TEST_F(ToolTest, BadUsageExitsTwoAndSendsNothing) {
  for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                {"bogus"},
                                                                {"get"},
                                                                {"get", "a/b/K", "extra"},
                                                                {"get", "a/b/K", "--raw", "--copy"},
                                                                {"unlock", "a/b", "--timeout", "8x"},
                                                                {"meta", "a/b/K"},
                                                                {"meta", "a/b/K", "--expires=31/03/2026"},
                                                                {"set", "bad!key"},
                                                                {"config", "--prefix", "a/b"},
                                                                {"bundle"},
                                                                {"run", "acme/api"}}) {
    auto run = runTool(args);
    EXPECT_EQ(run.code, 2) << ::testing::PrintToString(args);
    EXPECT_FALSE(run.err.empty());
  }
  EXPECT_TRUE(server_.requests().empty());
  auto help = runTool({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("guard"), std::string::npos);
}

TEST(ToolWithoutServer, SaysInOneLineHowToStartIt) {
  TempDir dir;
  ScopedEnv socket("CASKEL_SOCKET", dir.file("caskel.sock"));
  auto run = runTool({"ls"});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.err.find("not running"), std::string::npos);
  EXPECT_NE(run.err.find("caskeld"), std::string::npos);
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
  EXPECT_EQ(run.out, "");
}

TEST_F(ToolTest, ServerRefusalsAreErrorsOnStandardError) {
  auto run = runTool({"peek", "acme/api/MISSING"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err, "Error: No peek data — re-save the secret to generate it\n");
  EXPECT_EQ(run.out, "");
}

TEST_F(ToolTest, GetWritesAScriptThatSetsTheValue) {
  auto run = runTool({"get", "acme/api/KEY"});
  ASSERT_EQ(run.code, 0) << run.err;
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0],
            (nlohmann::json{{"cmd", "get"}, {"account", "acme/api/KEY"}, {"cli_version", kVersion}}));
  const std::string path = sourcedPath(run.out);
  ASSERT_FALSE(path.empty()) << run.out;
  EXPECT_EQ(test::modeOf(path), 0600);
  // `eval "$(caskel get key)"` as a user would write it.
  const std::string command = "bash -c 'eval \"$0\" && printf %s \"$KEY\" > \"$1\"' " +
                              shellSingleQuote(run.out) + " " + shellSingleQuote(dir_.file("seen"));
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(test::readText(dir_.file("seen")), kAwkward);
  EXPECT_FALSE(pathExists(path));
}

TEST_F(ClipboardToolTest, GetSaysWhenItWantsTheValueInTheClear) {
  ASSERT_EQ(runTool({"get", "acme/api/OTHER", "--raw"}).out, "other-value-123");
  ASSERT_EQ(runTool({"get", "acme/api/OTHER", "--copy"}).code, 0);
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0]["output"], "raw");
  EXPECT_EQ(requests[1]["output"], "copy");
}

TEST_F(AgentToolTest, GetGivesAnAgentOnlyAnEncryptedScript) {
  auto run = runTool({"get", "acme/api/KEY"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(server_.commands(), std::vector<std::string>{"get"});
  const std::string path = sourcedPath(run.out);
  ASSERT_FALSE(path.empty()) << run.out;
  const std::string script = test::readText(path);
  EXPECT_EQ(script.find("second line"), std::string::npos);
  EXPECT_NE(script.find("openssl enc -d -aes-256-cbc"), std::string::npos);
  const std::string command = "bash -c 'source \"$0\" && printf %s \"$KEY\" > \"$1\"' " +
                              shellSingleQuote(path) + " " + shellSingleQuote(dir_.file("seen"));
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(test::readText(dir_.file("seen")), kAwkward);
  EXPECT_FALSE(pathExists(path));
}

TEST_F(AgentToolTest, CommandsThatWouldShowValuesAreRefusedBeforeAnyRead) {
  const std::string file = dir_.file("out.env");
  for (const auto& args : std::vector<std::vector<std::string>>{{"get", "acme/api/KEY", "--raw"},
                                                                {"get", "acme/api/KEY", "--copy"},
                                                                {"load", "acme/api"},
                                                                {"env", "acme/api"},
                                                                {"export", "acme/api", file},
                                                                {"bundle", "load", "acme/api/web"}}) {
    const size_t before = server_.requests().size();
    auto run = runTool(args);
    EXPECT_EQ(run.code, 1) << args[0];
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("blocked for AI agents"), std::string::npos) << run.err;
    EXPECT_TRUE(run.err.find("caskel run") != std::string::npos ||
                run.err.find("caskel get <key>") != std::string::npos);
    // One request: "version" before folder commands; for get, the "get" itself, whose reply to
    // an agent is encrypted and is refused without being decrypted.
    auto requests = server_.requests();
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_EQ(requests.back()["cmd"], args[0] == "get" ? "get" : "version");
  }
  EXPECT_FALSE(pathExists(file));
}

TEST_F(ToolTest, LoadEnvAndBundleLoadPrintQuotedAssignments) {
  auto load = runTool({"load", "acme/api"});
  ASSERT_EQ(load.code, 0) << load.err;
  EXPECT_EQ(load.out, "export KEY=" + shellSingleQuote(kAwkward) + "\nexport OTHER='other-value-123'\n");
  auto env = runTool({"env", "acme/api/"});
  EXPECT_EQ(env.out, "KEY=" + shellSingleQuote(kAwkward) + "\nOTHER='other-value-123'\n");
  auto bundle = runTool({"bundle", "load", "acme/api/web"});
  EXPECT_EQ(bundle.out, load.out);
  auto bundles = runTool({"bundle", "ls", "acme"});
  EXPECT_EQ(bundles.out, "web  (2 keys)\n  acme/api/KEY\n  acme/api/OTHER\n");
  EXPECT_EQ(runTool({"load", "nothing/here"}).code, 1);
}

TEST_F(ToolTest, FolderCommandsKeepToTheFolderAndItsDistinctNames) {
  vault_.put("acme2/api/KEY", "neighbour");
  vault_.put("acme/api/a-b", "first");
  vault_.put("acme/api/a.b", "dotted-value");
  auto listed = runTool({"ls", "acme"});
  EXPECT_EQ(listed.out.find("acme2"), std::string::npos);
  EXPECT_NE(listed.out.find("acme/api/sub/DEEP"), std::string::npos);

  // Two keys that map to one variable: the first is served, the second named in a warning,
  // and the sub-folder's key is not part of the folder.
  auto env = runTool({"env", "acme/api"});
  ASSERT_EQ(env.code, 0) << env.err;
  EXPECT_NE(env.out.find("a_b='first'\n"), std::string::npos);
  EXPECT_EQ(env.out.find("dotted-value"), std::string::npos);
  EXPECT_EQ(env.out.find("DEEP"), std::string::npos);
  EXPECT_NE(env.err.find("acme/api/a.b"), std::string::npos);
  EXPECT_EQ(env.err.find("dotted-value"), std::string::npos);
  auto gets = server_.commands();
  EXPECT_EQ(std::count(gets.begin(), gets.end(), "get"), 3);
}

TEST_F(ToolTest, ExportThenImportRoundTripsThroughADotEnvFile) {
  vault_.put("acme/api/EMPTY", "");
  vault_.put("acme/api/HASHY", "  # not a comment \r\n$x");
  const std::string file = dir_.file("acme.env");
  auto exported = runTool({"export", "acme/api", file});
  ASSERT_EQ(exported.code, 0) << exported.err;
  EXPECT_EQ(test::modeOf(file), 0600);
  EXPECT_EQ(runTool({"export", "acme/api", file}).code, 1);  // never replaced silently
  EXPECT_EQ(runTool({"export", "acme/api", file, "--force"}).code, 0);

  auto imported = runTool({"import", "copy/api", file});
  ASSERT_EQ(imported.code, 0) << imported.err;
  for (const char* name : {"KEY", "OTHER", "EMPTY", "HASHY"}) {
    EXPECT_EQ(vault_.value(std::string("copy/api/") + name), vault_.value(std::string("acme/api/") + name))
        << name;
  }
  EXPECT_NE(imported.out.find("Imported 4 of 4 keys"), std::string::npos);
  EXPECT_EQ(imported.out.find("other-value"), std::string::npos);
  // One unlock of the folder first, so the person answers one prompt, not one per key.
  auto cmds = server_.commands();
  auto unlock = std::find(cmds.begin(), cmds.end(), "unlock");
  ASSERT_NE(unlock, cmds.end());
  EXPECT_EQ(std::count(unlock, cmds.end(), "set"), 4);
}

TEST_F(ToolTest, SetTakesTheValueFromStdinNeverFromArguments) {
  auto run =
      runTool({"set", "acme/new/TOKEN", "--type=token", "--desc=", "--strict", "--expires", "2030-01-31"},
              "hunter2-secret\n");
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(vault_.value("acme/new/TOKEN"), "hunter2-secret");
  const auto request = server_.requests().back();
  EXPECT_EQ(request["type"], "token");
  EXPECT_EQ(request["desc"], "");
  EXPECT_EQ(request["strict"], true);
  EXPECT_EQ(request["expires"], "2030-01-31");
  EXPECT_EQ(run.out.find("hunter2-secret"), std::string::npos);

  const size_t before = server_.requests().size();
  EXPECT_EQ(runTool({"set", "acme/new/EMPTY"}, "\n").code, 1);
  EXPECT_EQ(runTool({"set", "acme/new/ARG", "the-value"}).code, 2);
  // Bytes that JSON cannot carry would be stored altered: refused, not replaced.
  auto binary = runTool({"set", "acme/new/BIN"}, "ab\xff\xfe");
  EXPECT_EQ(binary.code, 1);
  EXPECT_NE(binary.err.find("UTF-8"), std::string::npos);
  EXPECT_EQ(runTool({"set", "acme/new/BIG"}, std::string(70000, 'x')).code, 1);
  EXPECT_EQ(server_.requests().size(), before);
}

TEST_F(ToolTest, SessionAndConfigCommandsSendWhatTheServerReads) {
  EXPECT_EQ(runTool({"unlock", "acme/api", "--timeout=1h30m"}).out,
            "Unlocked acme/api/ for 1h 30m (2 keys cached).\n");
  EXPECT_EQ(server_.requests().back()["timeout"], 5400);
  runTool({"unlock", "acme/api"});
  EXPECT_FALSE(server_.requests().back().contains("timeout"));
  runTool({"lock"});
  EXPECT_FALSE(server_.requests().back().contains("prefix"));
  runTool({"lock", "acme/api"});
  EXPECT_EQ(server_.requests().back()["prefix"], "acme/api");
  runTool({"config", "--prefix", "acme/api", "--timeout", "2h"});
  EXPECT_EQ(server_.requests().back(), (nlohmann::json{{"cmd", "config"},
                                                       {"action", "set"},
                                                       {"prefix", "acme/api"},
                                                       {"timeout", 7200},
                                                       {"cli_version", kVersion}}));
  runTool({"config", "--remove", "acme/api"});
  EXPECT_FALSE(server_.requests().back().contains("timeout"));
  EXPECT_EQ(runTool({"config"}).out, "Default auto-unlock time-out: 4h\nacme/api/  2h\n");
  EXPECT_EQ(runTool({"session"}).out, "acme/api/  3 keys\n");
  runTool({"meta", "acme/api/KEY", "--type=", "--bundle", "b"});
  EXPECT_EQ(server_.requests().back()["type"], "");
  EXPECT_FALSE(server_.requests().back().contains("desc"));
  runTool({"unstrict", "acme/api/KEY"});
  EXPECT_EQ(server_.requests().back()["strict"], false);
}

TEST_F(ToolTest, ListFiltersByPrefixAndMarksExpiry) {
  const int64_t now = nowSeconds();
  auto date = [](int64_t when) {
    char buf[16];
    time_t t = static_cast<time_t>(when);
    std::strftime(buf, sizeof buf, "%Y-%m-%d", std::localtime(&t));
    return std::string(buf);
  };
  vault_.put("acme/api/OLD", "x", {{"expires", date(now - 3 * 86400)}});
  vault_.put("acme/api/SOON", "x", {{"expires", date(now + 5 * 86400)}});
  vault_.put("acme/api/LATER", "x", {{"expires", date(now + 60 * 86400)}});
  auto run = runTool({"ls", "acme/api"});
  ASSERT_EQ(run.code, 0);
  EXPECT_NE(run.out.find("EXPIRED(" + date(now - 3 * 86400) + ")"), std::string::npos);
  EXPECT_NE(run.out.find("EXPIRES-SOON(" + date(now + 5 * 86400) + ")"), std::string::npos);
  EXPECT_EQ(run.out.find("EXPIRES-SOON(" + date(now + 60 * 86400)), std::string::npos);
  EXPECT_EQ(run.out.find("zeta"), std::string::npos);
  EXPECT_EQ(run.out.find("other-va"), std::string::npos);  // no peeks in listings
  EXPECT_EQ(server_.requests().back()["prefix"], "acme/api");

  auto json = nlohmann::json::parse(runTool({"ls", "--json"}).out);
  ASSERT_TRUE(json.is_array());
  EXPECT_EQ(json.size(), 7u);
  for (const auto& e : json) EXPECT_FALSE(e.contains("peek"));
  EXPECT_EQ(expiryLabel("31/03/2026", now), "");
  EXPECT_EQ(expiryLabel("2026-02-30", now), "");
}

TEST_F(ToolTest, RunPutsValuesInTheChildEnvironmentOnly) {
  const std::string seen = dir_.file("seen");
  auto run = runTool(
      {"run", "acme/api", "--", "sh", "-c", "printf %s \"$KEY|$OTHER|${DEEP-unset}\" > \"$0\"", seen});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(test::readText(seen), kAwkward + "|other-value-123|unset");
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");

  runTool({"run", "--only", "OTHER", "acme/api", "--", "sh", "-c",
           "printf %s \"${KEY-unset}|$OTHER\" > \"$0\"", seen});
  EXPECT_EQ(test::readText(seen), "unset|other-value-123");
  EXPECT_EQ(runTool({"run", "acme/api", "--", "sh", "-c", "exit 7"}).code, 7);
  EXPECT_EQ(runTool({"run", "--only", "NOPE", "acme/api", "--", "true"}).code, 1);
  EXPECT_EQ(runTool({"run", "acme/api", "--", "/no/such/program"}).code, 127);
}

TEST_F(AgentToolTest, RunRedactsServedValuesFromAnAgentsOutput) {
  auto run =
      runTool({"run", "acme/api", "--", "sh", "-c",
               "printf '%s|' \"$KEY\"; printf '%s' \"$OTHER\" | fold -w 3; printf 'err:%s' \"$OTHER\" >&2"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out.find("other-value"), std::string::npos);
  EXPECT_EQ(run.out.find("second line"), std::string::npos);
  EXPECT_EQ(run.out.rfind("<redacted:KEY>|", 0), 0u) << run.out;
  EXPECT_EQ(run.err, "err:<redacted:OTHER>");
}

TEST_F(ToolTest, RotateSendsTheNewValueAndReportsTheBackup) {
  auto run = runTool({"rotate", "acme/api/OTHER"}, "brand-new-value\n");
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(vault_.value("acme/api/OTHER"), "brand-new-value");
  EXPECT_EQ(vault_.value("acme/api/OTHER_OLD"), "other-value-123");
  EXPECT_NE(run.out.find("Current value starts with: other-va"), std::string::npos);
  EXPECT_NE(run.out.find("acme/api/OTHER_OLD for one hour"), std::string::npos);
  EXPECT_EQ(run.out.find("brand-new-value"), std::string::npos);
  EXPECT_EQ(runTool({"rotate", "acme/api/MISSING"}, "v\n").code, 1);
}

TEST_F(ClipboardToolTest, SetReadsTheClipboardAndClearsItOnlyOnceStored) {
  test::writeText(clip_, "from-the-clipboard");
  ASSERT_EQ(runTool({"set", "acme/c/K", "--clipboard"}).code, 0);
  EXPECT_EQ(vault_.value("acme/c/K"), "from-the-clipboard");
  EXPECT_EQ(test::readText(clip_), "");

  test::writeText(clip_, "keep-me");
  ScopedEnv noServer("CASKEL_SOCKET", dir_.file("absent.sock"));
  EXPECT_EQ(runTool({"set", "acme/c/K2", "--clipboard"}).code, 1);
  EXPECT_EQ(test::readText(clip_), "keep-me");
}

TEST_F(ClipboardToolTest, CopyClearsTheClipboardLaterOnlyWhenUnchanged) {
  ASSERT_EQ(runTool({"get", "acme/api/OTHER", "--copy"}).code, 0);
  EXPECT_EQ(test::readText(clip_), "other-value-123");
  EXPECT_TRUE(waitUntil([&] { return test::readText(clip_).empty(); }));

  ASSERT_EQ(runTool({"get", "acme/api/OTHER", "--copy"}).code, 0);
  test::writeText(clip_, "something the user copied");
  // Another copy whose clear does happen tells us the first clear has had its chance.
  ScopedEnv other("CASKEL_CLIPBOARD_COPY", "cat > " + shellSingleQuote(dir_.file("clip2")));
  ScopedEnv otherPaste("CASKEL_CLIPBOARD_PASTE", "cat " + shellSingleQuote(dir_.file("clip2")));
  ScopedEnv otherClear("CASKEL_CLIPBOARD_CLEAR", ": > " + shellSingleQuote(dir_.file("clip2")));
  ASSERT_EQ(runTool({"get", "acme/api/OTHER", "--copy"}).code, 0);
  EXPECT_TRUE(waitUntil([&] { return test::readText(dir_.file("clip2")).empty(); }));
  EXPECT_EQ(test::readText(clip_), "something the user copied");
}

TEST_F(ToolTest, ScanListsDotEnvFilesThreeLevelsDeepWithoutImporting) {
  TempDir tree;
  for (const char* d : {"a", "a/b", "a/b/c", "node_modules", ".git", "web"}) {
    ASSERT_EQ(::mkdir(tree.file(d).c_str(), 0700), 0);
  }
  for (const char* f : {".env", "a/.env.local", "a/b/.env", "a/b/c/.env", "node_modules/.env", ".git/.env",
                        "web/.env.example", "web/.env.sample", "web/.env.template", "web/env"}) {
    test::writeText(tree.file(f), "FIRST=secret-one\nSECOND='secret-two'\n");
  }
  EXPECT_EQ(findDotEnvFiles(tree.path()),
            (std::vector<std::string>{tree.file(".env"), tree.file("a/.env.local"), tree.file("a/b/.env")}));
  auto run = runTool({"scan", tree.path()});
  EXPECT_EQ(run.code, 0);
  EXPECT_NE(run.out.find("Found 3 .env files"), std::string::npos);
  EXPECT_NE(run.out.find("FIRST, SECOND"), std::string::npos);
  EXPECT_EQ(run.out.find("secret-one"), std::string::npos);
  EXPECT_TRUE(server_.requests().empty());
}

TEST(GuardHookSettings, MergesIntoExistingSettingsOnce) {
  nlohmann::json existing = {
      {"model", "x"},
      {"hooks",
       {{"PostToolUse", {{{"matcher", "Bash"}, {"hooks", {{{"type", "command"}, {"command", "lint"}}}}}}},
        {"PreToolUse", nlohmann::json::array()}}}};
  bool present = true;
  std::string error;
  auto merged = withGuardHook(existing, present, error);
  ASSERT_TRUE(merged);
  EXPECT_FALSE(present);
  EXPECT_EQ((*merged)["model"], "x");
  EXPECT_EQ((*merged)["hooks"]["PostToolUse"].size(), 2u);
  EXPECT_EQ((*merged)["hooks"]["PostToolUse"][0]["hooks"][0]["command"], "lint");
  EXPECT_EQ((*merged)["hooks"]["PostToolUse"][1]["hooks"][0]["command"], "caskel guard");
  EXPECT_EQ(withGuardHook(*merged, present, error), merged);
  EXPECT_TRUE(present);
  EXPECT_FALSE(withGuardHook(nlohmann::json::array(), present, error));
  EXPECT_FALSE(withGuardHook({{"hooks", {{"PostToolUse", "x"}}}}, present, error));
}

TEST_F(ToolTest, SetupInstallsTheHookKeepingTheFileAndRefusesBrokenJson) {
  test::TempHome home;
  auto declined = runTool({"setup"});
  EXPECT_EQ(declined.code, 0);
  EXPECT_NE(declined.out.find("Credential Management"), std::string::npos);
  EXPECT_FALSE(pathExists(home.path() + "/.claude/settings.json"));

  ASSERT_EQ(::mkdir((home.path() + "/.claude").c_str(), 0700), 0);
  const std::string settings = home.path() + "/.claude/settings.json";
  test::writeText(settings, R"json({"permissions": {"allow": ["Bash(ls)"]}})json");
  ASSERT_EQ(runTool({"setup", "--yes"}).code, 0);
  auto json = nlohmann::json::parse(test::readText(settings));
  EXPECT_EQ(json["permissions"]["allow"][0], "Bash(ls)");
  EXPECT_EQ(json["hooks"]["PostToolUse"][0]["hooks"][0]["command"], "caskel guard");
  EXPECT_NE(runTool({"setup", "--yes"}).out.find("already installed"), std::string::npos);

  test::writeText(settings, "{ not json");
  EXPECT_EQ(runTool({"setup", "--yes"}).code, 1);
  EXPECT_EQ(test::readText(settings), "{ not json");
}

TEST(UpdateCommand, InstallsTheServedProgramAtomically) {
  test::TempHome home;
  std::string program = std::string(
                            "\x7f"
                            "ELF",
                            4) +
                        std::string("\0\1\2 binary \xff", 12);
  std::string served = program;
  FakeServer server([&](const nlohmann::json&) -> nlohmann::json {
    return {{"ok", true}, {"value", base64Encode(served)}, {"encoding", "base64"}};
  });
  ASSERT_EQ(runTool({"update"}).code, 0);
  const std::string installed = home.path() + "/.local/bin/caskel";
  EXPECT_EQ(test::readText(installed), program);
  EXPECT_EQ(test::modeOf(installed), 0755);

  served = "<html>not a program</html>";
  EXPECT_EQ(runTool({"update"}).code, 1);
  EXPECT_EQ(test::readText(installed), program);
}

TEST_F(ToolTest, VerifyPrintsTheLinuxChecks) {
  auto run = runTool({"verify"});
  EXPECT_EQ(run.code, 0);
  EXPECT_NE(run.out.find("grep -E '^(Seccomp|NoNewPrivs):' /proc/$(pgrep -xo caskeld)/status"),
            std::string::npos);
  EXPECT_NE(run.out.find(verification::kConnectionsCheck), std::string::npos);
  EXPECT_TRUE(server_.requests().empty());
}

}  // namespace
}  // namespace caskel::cli
