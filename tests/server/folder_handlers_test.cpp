#include "base/key_path.h"
#include "handler_harness.h"

namespace caskel::test {
namespace {

using ::testing::HasSubstr;

// "unlock", "lock" and "session": what a folder's session holds, and the audit of each step.
TEST_F(HandlerTest, UnlockLockAndSessionReportTheFolderState) {
  put("org/p/A", "a");
  put("org/p/B", "b");
  put("org/p/S", "s", {{"strict", true}});
  put("org/q/C", "c");

  Reply unlocked = ask({{"cmd", "unlock"}, {"prefix", "org/p"}, {"timeout", 60}});
  EXPECT_EQ(unlocked.value(), "2");  // strict values are never cached
  ASSERT_EQ(auth->reasons().size(), 1u);
  EXPECT_THAT(auth->reasons()[0], HasSubstr("\"org/p/\" for 1m"));
  auth->forgetLastSuccess();  // the fake keeps its reuse window; each unlock here must prompt
  ASSERT_TRUE(ask({{"cmd", "unlock"}, {"prefix", "org/q/"}, {"timeout", -5}}).ok());
  EXPECT_THAT(auth->reasons().back(), HasSubstr("\"org/q/\" for 4h"));  // not a positive number: the default
  EXPECT_EQ(ask({{"cmd", "session"}}).toJson(),
            nlohmann::json::parse(
                R"({"ok":true,"unlocked":[{"prefix":"org/p/","count":2},{"prefix":"org/q/","count":1}]})"));

  EXPECT_TRUE(ask({{"cmd", "lock"}, {"prefix", "org/p"}}).ok());
  EXPECT_FALSE(cached("org/p/A", person));
  EXPECT_EQ(cached("org/q/C", person), "c");
  EXPECT_EQ(ask({{"cmd", "lock"}}).toJson(), nlohmann::json({{"ok", true}}));

  auth->forgetLastSuccess();
  auth->queue(kNo);
  EXPECT_EQ(ask({{"cmd", "unlock"}, {"prefix", "org/p/"}}).error(), "Authentication canceled");
  EXPECT_THAT(audited(), ElementsAre("UNLOCK org/p/ ok (2 keys)", "UNLOCK org/q/ ok (1 keys)",
                                     "LOCK org/p/ ok", "LOCK (all) ok", "UNLOCK org/p/ auth_canceled"));
}

TEST_F(HandlerTest, ConfigSetsAndListsFolderTimeouts) {
  EXPECT_TRUE(ask({{"cmd", "config"}, {"action", "set"}, {"prefix", "org/p/"}, {"timeout", 90.5}}).ok());
  EXPECT_TRUE(ask({{"cmd", "config"}, {"action", "set"}, {"prefix", "org/q/"}, {"timeout", 60}}).ok());
  // No time-out: removed.
  EXPECT_TRUE(ask({{"cmd", "config"}, {"action", "set"}, {"prefix", "org/q/"}}).ok());
  EXPECT_EQ(ask({{"cmd", "config"}}).toJson(),
            nlohmann::json::parse(
                R"({"ok":true,"default_timeout":14400,"timeouts":[{"prefix":"org/p/","timeout":90}]})"));
  EXPECT_DOUBLE_EQ(sessions.timeout("org/p/"), 90.5);
  EXPECT_THAT(newPrompts(), IsEmpty());
}

// "unlock" opens no session over a folder that holds nothing.
TEST_F(HandlerTest, UnlockOfAFolderWithoutKeysOpensNoSessionUnlessAskedTo) {
  put("org/px/A", "a-value");  // a text prefix of its folder name is not the folder
  put("org/q/S", "s-value", {{"strict", true}});
  const std::string nothing = "error: No secrets under org/p/ — nothing to unlock";
  struct {
    nlohmann::json request;
    std::string reply;
    Prompts prompts;
  } cases[] = {
      {{{"prefix", "org/p"}}, nothing, {}},
      {{{"prefix", "org/p/"}}, nothing, {}},
      {{{"prefix", "org/p"}, {"allow_empty", true}}, "0", {"Unlock"}},
      // Strict keys only: nothing is cached, but the folder is not empty.
      {{{"prefix", "org/q"}}, "0", {"Unlock"}},
      {{{"prefix", "org"}}, "1", {"Unlock"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.request.dump());
    sessions.lock();
    auth->forgetLastSuccess();  // as a lock does with the real prompt
    c.request["cmd"] = "unlock";
    Reply reply = ask(c.request);
    EXPECT_EQ(shown(reply), c.reply);
    EXPECT_EQ(newPrompts(), c.prompts);
    const std::string folder = normalizePrefix(c.request["prefix"].get<std::string>());
    EXPECT_EQ(sessions.isUnlocked(folder + "NEW", person.binding()), reply.ok());
  }
  EXPECT_THAT(audited(), ElementsAre("UNLOCK org/p/ ok (0 keys)", "UNLOCK org/q/ ok (0 keys)",
                                     "UNLOCK org/ ok (1 keys)"));
}

}  // namespace
}  // namespace caskel::test
