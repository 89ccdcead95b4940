// The secret, folder and rotate commands against the real caskeld, with a scripted pinentry
// standing in for the person at the machine.
#include <future>
#include <set>
#include <sstream>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

class CommandsTest : public ToolFixture {
 protected:
  // A copy of the raw client named "caskel": a wrapper, so the server resolves it to its parent.
  std::string wrapperClient() { return copyProgram(tools.path(), raw, "caskel"); }
};

TEST_F(CommandsTest, SessionOwnerSkipsPromptsOthersDoNot) {
  call(setRequest("org/a/K1", "one"));
  call(setRequest("org/a/STRICT", "s", {{"strict", true}}));
  ASSERT_EQ(call({{"cmd", "unlock"}, {"prefix", "org/"}})["value"], "1");
  int before = prompts();
  // This test process unlocked org/: its writes and deletes go through without a prompt.
  EXPECT_EQ(call(setRequest("org/a/K2", "two"))["ok"], true);
  EXPECT_EQ(call({{"cmd", "rm"}, {"account", "org/a/K2"}})["ok"], true);
  // A client run by this process resolves to it as well.
  EXPECT_EQ(server.ask({wrapperClient()}, setRequest("org/a/K3", "3"))["ok"], true);
  EXPECT_EQ(prompts(), before);
  // Strict items always prompt, even for the owner.
  EXPECT_EQ(call(setRequest("org/a/STRICT", "s2"))["ok"], true);
  EXPECT_EQ(prompts(), before + 1);
  EXPECT_TRUE(has(lastPrompt(), "Store \"org/a/STRICT\""));
  // Another process prompts.
  EXPECT_EQ(fromRaw(setRequest("org/a/K4", "4"))["ok"], true);
  EXPECT_EQ(prompts(), before + 2);
  EXPECT_EQ(fromRaw({{"cmd", "rm"}, {"account", "org/a/K4"}})["ok"], true);
  EXPECT_EQ(prompts(), before + 3);
  EXPECT_TRUE(has(lastPrompt(), "Delete \"org/a/K4\""));
}

TEST_F(CommandsTest, GetsInOneFolderPromptOnce) {
  seed("org/proj/A", "alpha");
  seed("org/proj/B", "beta");
  int before = prompts();
  EXPECT_EQ(call(getRequest("org/proj/A"))["value"], "alpha");
  EXPECT_EQ(call(getRequest("org/proj/B"))["value"], "beta");
  EXPECT_EQ(prompts(), before + 1);
  EXPECT_TRUE(has(lastPrompt(), "Unlock \"org/proj/\" for 4h — via ")) << lastPrompt();
  EXPECT_TRUE(server.waitForAudit({"GET account=org/proj/A result=ok"}));
  EXPECT_TRUE(server.waitForAudit({"GET account=org/proj/B result=ok (cached)"}));
}

// The hand-off's content is checked by sourcing it (cli_test); here, what an agent's own
// process gets from the server: fresh ciphertext, and the commands that show no value.
TEST_F(CommandsTest, AgentsGetOnlyEncryptedValues) {
  put("org/ai/OPENAI_KEY", "it's a $ecret\nwith `ticks`");
  // One after another from one agent process (a shell under a "claude" folder).
  std::vector<std::string> args = {wrapperClient()};
  for (const json& r : {getRequest("org/ai/OPENAI_KEY"), getRequest("org/ai/OPENAI_KEY"),
                        json{{"cmd", "peek"}, {"account", "org/ai/OPENAI_KEY"}}, json{{"cmd", "ls"}}})
    args.push_back(r.dump());
  std::istringstream out(
      bash("w=$1; shift; for r; do \"$w\" \"$CASKEL_SOCKET\" \"$r\"; echo; done", args, true).out);
  std::vector<json> replies;
  for (std::string line; std::getline(out, line);) replies.push_back(json::parse(line, nullptr, false));
  ASSERT_EQ(replies.size(), 4u);
  for (const json& r : {replies[0], replies[1]}) {
    EXPECT_EQ(r["value"], "__encrypted__");
    EXPECT_EQ(r["agent"], true);
    EXPECT_EQ(r["kn"], "OPENAI_KEY");
    EXPECT_FALSE(has(r.dump(), "ecret"));
  }
  EXPECT_NE(replies[0]["k"], replies[1]["k"]);
  EXPECT_TRUE(server.waitForAudit({"GET account=org/ai/OPENAI_KEY result=ok (cached)"}));
  EXPECT_EQ(replies[2]["value"], "it's a...");
  EXPECT_EQ(replies[3]["accounts"][0]["account"], "org/ai/OPENAI_KEY");
}

// Time-out rules are the handlers'; here, that unlocking a top folder through the real store
// opens each folder under it, and lock closes them all.
TEST_F(CommandsTest, UnlockOpensEveryFolderUnderThePrefixAndLockClosesThem) {
  seed("org/a/K", "1");
  seed("org/b/K", "2");
  EXPECT_EQ(fromRaw({{"cmd", "unlock"}, {"prefix", "org"}, {"timeout", 0}})["value"], "2");
  EXPECT_TRUE(has(lastPrompt(), "Unlock \"org/\" for 4h"));
  EXPECT_EQ(call({{"cmd", "unlock"}, {"prefix", "org"}})["value"], "2");
  EXPECT_TRUE(server.waitForAudit({"UNLOCK account=org/ result=ok (2 keys)"}));
  std::set<std::string> prefixes;
  json status = call({{"cmd", "session"}});
  for (auto& e : status["unlocked"]) prefixes.insert(e["prefix"].get<std::string>());
  EXPECT_EQ(prefixes, (std::set<std::string>{"org/a/", "org/b/"}));
  EXPECT_EQ(call({{"cmd", "lock"}})["ok"], true);
  EXPECT_TRUE(server.waitForAudit({"LOCK account=(all) result=ok"}));
  EXPECT_TRUE(call({{"cmd", "session"}})["unlocked"].empty());
}

TEST_F(CommandsTest, FiftyConcurrentClientsLoseNothing) {
  call(setRequest("org/load/SEED", "seed"));
  std::vector<std::future<json>> results;
  for (int i = 0; i < 50; ++i) {
    const json body = i % 3 == 0   ? setRequest("org/load/K" + std::to_string(i), "v" + std::to_string(i))
                      : i % 3 == 1 ? getRequest("org/load/SEED")
                                   : json{{"cmd", "ls"}};
    results.push_back(std::async(std::launch::async, [this, body] { return fromRaw(body); }));
  }
  for (auto& r : results) EXPECT_EQ(r.get()["ok"], true);
  int stored = 0;
  json listing = call({{"cmd", "ls"}});
  for (auto& e : listing["accounts"]) stored += e["account"].get<std::string>().starts_with("org/load/K");
  EXPECT_EQ(stored, 17);
  for (const auto& line : server.auditLines())
    EXPECT_TRUE(line.starts_with("[") && has(line, " result=")) << line;
}

}  // namespace
}  // namespace caskel::test
