#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "base/shell_text.h"
#include "cli/cli_platform.h"
#include "cli/metadata_flags.h"
#include "cli/scan_command.h"
#include "cli/secret_commands.h"
#include "cli/setup_commands.h"
#include "fake_server.h"

namespace caskel::cli {
namespace {

using json = nlohmann::json;
using test::FakeServer;
using test::has;
using test::kAwkward;
using test::runTool;
using test::ScopedEnv;
using test::sent;
using test::TempDir;
using test::ToolTest;
using test::words;

// The clipboard is the file named by $CLIP, as the background clearer also sees it.
class ClipboardToolTest : public ToolTest {
 protected:
  std::string clip_ = dir_.file("clip");
  ScopedEnv board_{"CLIP", clip_}, copy_{"CASKEL_CLIPBOARD_COPY", "cat > \"$CLIP\""},
      paste_{"CASKEL_CLIPBOARD_PASTE", "cat \"$CLIP\""}, clear_{"CASKEL_CLIPBOARD_CLEAR", ": > \"$CLIP\""},
      delay_{"CASKEL_CLIPBOARD_CLEAR_SECONDS", "1"};
};

TEST_F(ToolTest, BadUsageExitsTwoAndSendsNothing) {
  for (const char* line :
       {"", "bogus", "get", "get a/b/K extra", "get a/b/K --raw --copy", "unlock a/b --timeout 8x",
        "meta a/b/K", "meta a/b/K --expires=31/03/2026", "set bad!key", "set acme/new/ARG the-value",
        "config --prefix a/b", "bundle", "run acme/api", "ls --tree --json", "audit", "audit show -n 0",
        "audit maybe", "completion tcsh"}) {
    auto run = runTool(words(line));
    EXPECT_EQ(run.code, 2) << line;
    EXPECT_FALSE(run.err.empty());
  }
  EXPECT_TRUE(server_.requests().empty());
}

// What each form prints (the sourced script, the raw value, the copy) is checked end to end.
TEST_F(ClipboardToolTest, GetSendsTheKeyAndSaysWhenItWantsTheValueInTheClear) {
  for (const char* line : {"get acme/api/KEY", "get acme/api/OTHER --raw", "get acme/api/OTHER --copy"}) {
    ASSERT_EQ(runTool(words(line)).code, 0) << line;
  }
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0], sent(R"({"cmd": "get", "account": "acme/api/KEY"})"));
  EXPECT_EQ(requests[1]["output"], "raw");
  EXPECT_EQ(requests[2]["output"], "copy");
}

// The refusal's text and that no value or file comes out are the end-to-end agent test's.
TEST_F(ToolTest, CommandsThatWouldShowValuesAreRefusedToAnAgentBeforeAnyRead) {
  agent_ = true;
  for (const std::string& line : std::initializer_list<std::string>{
           "get acme/api/KEY --raw", "get acme/api/KEY --copy", "load acme/api", "env acme/api",
           "export acme/api " + dir_.file("out.env"), "bundle load acme/api/web"}) {
    const auto args = words(line);
    const size_t before = server_.requests().size();
    EXPECT_EQ(runTool(args).code, 1) << line;
    // One request: "version" before folder commands; for get, the "get" itself, whose reply to
    // an agent is encrypted and is refused without being decrypted.
    auto commands = server_.commands();
    ASSERT_EQ(commands.size(), before + 1);
    EXPECT_EQ(commands.back(), args[0] == "get" ? "get" : "version");
  }
}

// How load, env and bundle load quote awkward values is checked by sourcing them end to end.
TEST_F(ToolTest, FolderCommandsPrintQuotedAssignmentsOfTheFolderAlone) {
  items_["acme2/api/KEY"] = {{"value", "neighbour"}};
  auto load = runTool({"load", "acme/api"});
  EXPECT_TRUE(has(load.out, "export OTHER='other-value-123'\n") && !has(load.out, "neighbour")) << load.err;
  EXPECT_TRUE(has(runTool({"env", "acme/api/"}).out, "\nOTHER='other-value-123'\n"));
  auto empty = runTool({"load", "nothing/here"});
  EXPECT_EQ(empty.code, 1);
  EXPECT_EQ(empty.out, "");
  auto listed = runTool({"ls", "acme"});
  EXPECT_FALSE(has(listed.out, "acme2"));
  EXPECT_TRUE(has(listed.out, "acme/api/sub/DEEP"));

  // Two keys that map to one variable: the first is served, the second named in a warning,
  // and the sub-folder's key is not part of the folder.
  items_["acme/api/a-b"] = {{"value", "first"}};
  items_["acme/api/a.b"] = {{"value", "dotted-value"}};
  const size_t before = server_.requests().size();
  auto env = runTool({"env", "acme/api"});
  ASSERT_EQ(env.code, 0) << env.err;
  EXPECT_TRUE(has(env.out, "a_b='first'\n"));
  EXPECT_FALSE(has(env.out, "dotted-value") || has(env.out, "DEEP"));
  EXPECT_TRUE(has(env.err, "acme/api/a.b"));
  EXPECT_FALSE(has(env.err, "dotted-value"));
  auto commands = server_.commands();
  EXPECT_EQ(std::count(commands.begin() + static_cast<long>(before), commands.end(), "get"), 3);
}

// The values a .env file makes awkward, through export and import as they are run; the empty,
// padded, quoted and $-expanding values are the end-to-end round trip's.
TEST_F(ToolTest, ExportThenImportAsksOnceAndSendsEachValueExactly) {
  for (auto [name, value] : std::initializer_list<std::pair<const char*, const char*>>{
           {"NEWLINES", "line one\nline two\n\nend\n"},
           {"CRLF", "windows\r\nline"},
           {"HASH", "# not a comment #really"},
           {"HASHY", "  # not a comment \r\n$x"},
           {"BACKSLASH", "C:\\path\\n\\\\ and \\\" tail\\"},
           {"TAB", "a\tb"},
           {"UTF8", "pässwörd ✓"},
           {"EQUALS", "a=b==c"}}) {
    items_[std::string("acme/api/") + name] = {{"value", value}};
  }
  const std::string file = dir_.file("acme.env");
  ASSERT_EQ(runTool({"export", "acme/api", file}).code, 0);
  EXPECT_EQ(runTool({"export", "acme/api", file}).code, 1);  // never replaced silently
  EXPECT_EQ(runTool({"export", "acme/api", file, "--force"}).code, 0);

  const size_t before = server_.requests().size();
  auto imported = runTool({"import", "copy/api", file});
  ASSERT_EQ(imported.code, 0) << imported.err;
  for (const auto& [account, item] : items_) {
    if (account.starts_with("acme/api/") && !account.starts_with("acme/api/sub/")) {
      EXPECT_EQ(stored_.at("copy" + account.substr(4)), item["value"]) << account;
    }
  }
  EXPECT_TRUE(has(imported.out, "Imported 10 of 10 keys")) << imported.out;
  EXPECT_FALSE(has(imported.out, "other-value"));
  // One unlock of the folder first, so the person answers one prompt, not one per key.
  EXPECT_EQ(server_.commands()[before], "unlock");
}

TEST_F(ToolTest, SetTakesTheValueFromStdinNeverFromArguments) {
  auto run =
      runTool({"set", "acme/new/TOKEN", "--type=token", "--desc=", "--strict", "--expires", "2030-01-31"},
              "hunter2-secret\n");
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(server_.requests().back(),
            sent(R"({"cmd": "set", "account": "acme/new/TOKEN", "value": "hunter2-secret", "type": "token", )"
                 R"("strict": true, "expires": "2030-01-31"})"));
  EXPECT_FALSE(has(run.out, "hunter2-secret"));

  const size_t before = server_.requests().size();
  EXPECT_EQ(runTool({"set", "acme/new/EMPTY"}, "\n").code, 1);
  // Bytes that JSON cannot carry would be stored altered: refused, not replaced.
  auto binary = runTool({"set", "acme/new/BIN"}, "ab\xff\xfe");
  EXPECT_EQ(binary.code, 1);
  EXPECT_TRUE(has(binary.err, "UTF-8"));
  EXPECT_EQ(runTool({"set", "acme/new/BIG"}, std::string(70000, 'x')).code, 1);
  EXPECT_EQ(server_.requests().size(), before);
}

// unlock --timeout and config's set, list and remove are checked through the real server end to end.
TEST_F(ToolTest, SessionAndConfigCommandsSendWhatTheServerReads) {
  const json absent;  // the field must not be sent
  const struct {
    const char* line;
    const char* field;
    json value;
  } rows[] = {{"unlock acme/api", "timeout", absent},
              {"lock", "prefix", absent},
              {"lock acme/api", "prefix", "acme/api"},
              {"meta acme/api/KEY --type= --bundle b", "type", ""},
              {"meta acme/api/KEY --type= --bundle b", "desc", absent},
              {"unstrict acme/api/KEY", "strict", false},
              {"ls acme/api", "prefix", "acme/api"}};
  for (const auto& row : rows) {
    EXPECT_EQ(runTool(words(row.line)).code, 0) << row.line;
    EXPECT_EQ(server_.requests().back().value(row.field, absent), row.value) << row.line;
  }
  EXPECT_EQ(runTool({"session"}).out, "acme/api/  3 keys\n");
}

// Past and far dates are labelled in the end-to-end listing test; which texts are dates is the
// civil date test's.
TEST(ExpiryLabel, MarksNearDatesAndNotOtherText) {
  const int64_t now = nowSeconds();
  const time_t soon = static_cast<time_t>(now + 5 * 86400);
  char date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&soon));
  EXPECT_EQ(expiryLabel(date, now), "EXPIRES-SOON(" + std::string(date) + ")");
  EXPECT_EQ(expiryLabel("31/03/2026", now), "");
}

TEST_F(ToolTest, RunPutsTheFolderInTheChildEnvironmentOnly) {
  const std::string seen = dir_.file("seen");
  auto run = runTool({"run", "acme/api", "--", "sh", "-c",
                      "printf %s \"$KEY|$OTHER|${DEEP-unset}\" > \"$0\"; exit 7", seen});
  EXPECT_EQ(run.code, 7) << run.err;  // the child's status
  EXPECT_EQ(test::readText(seen), kAwkward + "|other-value-123|unset");
  EXPECT_EQ(run.out + run.err, "");

  runTool({"run", "--only", "OTHER", "acme/api", "--", "sh", "-c",
           "printf %s \"${KEY-unset}|$OTHER\" > \"$0\"", seen});
  EXPECT_EQ(test::readText(seen), "unset|other-value-123");
  EXPECT_EQ(runTool({"run", "--only", "NOPE", "acme/api", "--", "true"}).code, 1);
  EXPECT_EQ(runTool({"run", "acme/api", "--", "/no/such/program"}).code, 127);
}

TEST_F(ClipboardToolTest, TheClipboardIsLeftAloneWhenTheValueIsNotStoredOrWasReplaced) {
  test::writeText(clip_, "keep-me");
  {
    ScopedEnv noServer("CASKEL_SOCKET", dir_.file("absent.sock"));
    auto failed = runTool({"set", "acme/c/K2", "--clipboard"});
    EXPECT_EQ(failed.code, 1);
    // No server: said in one line that names how to start it.
    EXPECT_TRUE(has(failed.err, "not running") && has(failed.err, "caskeld")) << failed.err;
    EXPECT_EQ(std::count(failed.err.begin(), failed.err.end(), '\n'), 1);
    EXPECT_EQ(failed.out, "");
  }
  EXPECT_EQ(test::readText(clip_), "keep-me");

  ASSERT_EQ(runTool({"get", "acme/api/OTHER", "--copy"}).code, 0);
  EXPECT_EQ(test::readText(clip_), "other-value-123");
  test::writeText(clip_, "something the user copied");
  // Another copy whose clear does happen tells us the first clear has had its chance.
  ScopedEnv other("CLIP", dir_.file("clip2"));
  ASSERT_EQ(runTool({"get", "acme/api/OTHER", "--copy"}).code, 0);
  EXPECT_TRUE(
      test::waitUntil([&] { return test::readText(dir_.file("clip2")).empty(); }, dir_.path(), 20000));
  EXPECT_EQ(test::readText(clip_), "something the user copied");
}

TEST_F(ToolTest, ScanListsDotEnvFilesThreeLevelsDeepWithoutImporting) {
  TempDir tree;
  for (const char* f : {".env", "a/.env.local", "a/b/.env", "a/b/c/.env", "node_modules/.env", ".git/.env",
                        "web/.env.example", "web/.env.sample", "web/.env.template", "web/env"}) {
    std::filesystem::create_directories(std::filesystem::path(tree.file(f)).parent_path());
    test::writeText(tree.file(f), "FIRST=secret-one\nSECOND='secret-two'\n");
  }
  EXPECT_EQ(findDotEnvFiles(tree.path()),
            (std::vector<std::string>{tree.file(".env"), tree.file("a/.env.local"), tree.file("a/b/.env")}));
  auto run = runTool({"scan", tree.path()});
  EXPECT_EQ(run.code, 0);
  EXPECT_TRUE(has(run.out, "Found 3 .env files")) << run.out;
  EXPECT_FALSE(has(run.out, "secret-one"));
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(ToolTest, SetupAddsTheHookOnceKeepingTheSettingsAndLeavesOddFilesAlone) {
  test::TempHome home;
  const std::string settings = home.path() + "/.claude/settings.json";
  auto declined = runTool({"setup"});
  EXPECT_EQ(declined.code, 0);
  EXPECT_TRUE(has(declined.out, "Credential Management"));
  EXPECT_FALSE(pathExists(settings));

  ASSERT_EQ(::mkdir((home.path() + "/.claude").c_str(), 0700), 0);
  test::writeText(settings, R"json({"permissions": {"allow": ["Bash(ls)"]}, "hooks": {"PreToolUse": [],
      "PostToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "lint"}]}]}})json");
  ASSERT_EQ(runTool({"setup", "--yes"}).code, 0);
  const std::string installed = test::readText(settings);
  auto written = json::parse(installed);
  EXPECT_EQ(written["permissions"]["allow"][0], "Bash(ls)");
  ASSERT_EQ(written["hooks"]["PostToolUse"].size(), 2u);
  EXPECT_EQ(written["hooks"]["PostToolUse"][0]["hooks"][0]["command"], "lint");
  EXPECT_EQ(written["hooks"]["PostToolUse"][1]["hooks"][0]["command"], "caskel guard --hook");
  EXPECT_TRUE(has(runTool({"setup", "--yes"}).out, "already installed"));
  EXPECT_EQ(test::readText(settings), installed);
  // The plain pipe mode an earlier setup wrote is switched over in place.
  written["hooks"]["PostToolUse"][1]["hooks"][0]["command"] = "caskel guard";
  test::writeText(settings, written.dump());
  ASSERT_EQ(runTool({"setup", "--yes"}).code, 0);
  EXPECT_EQ(json::parse(test::readText(settings)), json::parse(installed));

  for (const char* odd : {"{ not json", "[]", R"({"hooks": {"PostToolUse": "x"}})"}) {
    test::writeText(settings, odd);
    EXPECT_EQ(runTool({"setup", "--yes"}).code, 1) << odd;
    EXPECT_EQ(test::readText(settings), odd);
  }
}

TEST(SandboxStart, RcFileFollowsTheShellAndTheAliasBlockIsAddedOnce) {
  EXPECT_EQ(shellRcFile("/bin/bash", "/h", "/z"), "/h/.bashrc");
  EXPECT_EQ(shellRcFile("/usr/bin/zsh", "/h", "/z"), "/z/.zshrc");
  EXPECT_EQ(shellRcFile("zsh", "/h", std::nullopt), "/h/.zshrc");
  for (const char* other : {"/usr/bin/fish", "/bin/sh", "", "/bin/bash5", "/opt/bash/dash"}) {
    EXPECT_EQ(shellRcFile(other, "/h", std::nullopt), std::nullopt) << other;
  }

  const std::string block = *withSandboxAlias("", "claude");
  EXPECT_EQ(block,
            "# >>> caskel sandbox: claude >>>\nalias claude='caskel sandbox -- claude'\n"
            "# <<< caskel sandbox: claude <<<\n");
  // The user's last line keeps its own line; another agent's block does not count as this one's.
  EXPECT_EQ(withSandboxAlias("export A=1", "claude"), "export A=1\n" + block);
  EXPECT_EQ(withSandboxAlias("x\n" + block + "y\n", "claude"), std::nullopt);
  const std::string codex = *withSandboxAlias(block, "codex");
  EXPECT_TRUE(codex.starts_with(block) && has(codex, "alias codex='caskel sandbox -- codex'"));
  // Only a whole marker line counts: a mention in a comment does not.
  EXPECT_NE(withSandboxAlias("# see # >>> caskel sandbox: claude >>>\n", "claude"), std::nullopt);
}

// Answers: the hook declined, then per agent found (claude, codex in table order).
TEST_F(ToolTest, SetupOffersSandboxedStartsAndWritesEachChoiceOnce) {
  test::TempHome home;
  ScopedEnv shell{"SHELL", "/bin/bash"};
  for (const char* folder : {"/.claude", "/.codex", "/.vim"})
    ASSERT_EQ(::mkdir((home.path() + folder).c_str(), 0700), 0);
  const std::string rc = home.path() + "/.bashrc", wrapper = home.path() + "/.local/bin/codex-sandboxed";
  test::writeText(rc, "export KEEP=1\n");
  ASSERT_EQ(::chmod(rc.c_str(), 0640), 0);

  // Without a terminal (or under --yes) the lines are shown and nothing is written.
  for (const char* line : {"setup", "setup --yes"}) {
    auto printed = runTool(words(line));
    EXPECT_TRUE(has(printed.out, "caskel sandbox -- claude\n") &&
                has(printed.out, "caskel sandbox -- codex\n"));
  }
  EXPECT_EQ(test::readText(rc), "export KEEP=1\n");
  EXPECT_FALSE(pathExists(wrapper));

  for (int round = 0; round < 2; ++round) {
    auto run = runTool({"setup"}, "n\na\nw\n", true);
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(test::readText(rc), "export KEEP=1\n" + *withSandboxAlias("", "claude")) << round;
    EXPECT_EQ(test::modeOf(rc), 0640);
    EXPECT_EQ(test::readText(wrapper), sandboxWrapperScript("codex"));
    EXPECT_EQ(test::modeOf(wrapper), 0700);
  }
  // A program of that name that is not ours stays, and the run says it failed.
  test::writeText(wrapper, "#!/bin/sh\necho mine\n");
  auto clash = runTool({"setup"}, "n\nn\nw\n", true);
  EXPECT_EQ(clash.code, 1);
  EXPECT_TRUE(has(clash.err, "Error: " + wrapper));
  EXPECT_EQ(test::readText(wrapper), "#!/bin/sh\necho mine\n");
}

// Flags built with designated initializers leave the others unset on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// One named field changed, and empty text or --no-strict clearing, are the end-to-end tool test's;
// what meta sends (addTo) is the session-and-config test's "meta" rows.
TEST(MetadataFlags, SetSendsTheStoredRecordWithOnlyTheNamedFieldsChanged) {
  const ListedSecret item{"org/p/K", "token", "deploy", "old", "2030-01-01", "abcdefgh", "90d", true};
  const struct {
    const char* name;
    MetadataFlags flags;
    std::optional<ListedSecret> stored;
    json want;
  } cases[] = {
      // Still metadata, so the server clears the last field instead of keeping the item's own.
      {"all cleared",
       {.type = "", .bundle = "", .desc = "", .expires = "", .rotate = ""},
       item,
       {{"strict", true}}},
      {"new key", {.desc = "d", .rotate = ""}, std::nullopt, {{"desc", "d"}, {"strict", false}}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.flags.mergedWith(c.stored), c.want) << c.name;
}

#pragma GCC diagnostic pop

TEST(UpdateCommand, InstallsTheServedProgramAtomically) {
  test::TempHome home;
  // Far beyond one socket buffer, and written with escaped slashes as the server writes them
  // (0xff bytes encode as "/").
  const std::string program = std::string("\177ELF\0\1\2 binary ", 15) + std::string(3 << 20, '\377');
  std::string served = program;
  FakeServer server([&](const json&) -> json {
    std::string escaped;
    for (char c : base64Encode(served)) escaped += c == '/' ? std::string("\\/") : std::string(1, c);
    return R"({"ok":true,"encoding":"base64","value":")" + escaped + "\"}";
  });
  ASSERT_EQ(runTool({"update"}).code, 0);
  const std::string installed = home.path() + "/.local/bin/caskel";
  EXPECT_TRUE(test::readText(installed) == program);  // not printed when it fails
  EXPECT_EQ(test::modeOf(installed), 0755);

  served = "<html>not a program</html>";
  EXPECT_EQ(runTool({"update"}).code, 1);
  EXPECT_TRUE(test::readText(installed) == program);
}

}  // namespace
}  // namespace caskel::cli
