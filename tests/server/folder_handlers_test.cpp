#include <gmock/gmock.h>

#include "handler_harness.h"

namespace caskel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;


// "meta": merged into the stored metadata, behind an unlock or a prompt of its own.
TEST_F(HandlerTest, MetaMergesFieldsBehindTheRightPrompt) {
  struct {
    const char* name;
    bool session;
    bool strict;
    nlohmann::json request;
    std::optional<AuthOutcome> secondAnswer;
    Prompts prompts;
    bool changed;
    bool strictAfter;
  } cases[] = {
      {"no session unlocks", false, false, {{"desc", "new"}, {"type", ""}}, {}, {"Unlock"}, true, false},
      {"own session asks to update", true, false, {{"desc", "new"}, {"type", ""}}, {}, {"Update metadata for"}, true,
       false},
      {"made strict", true, false, {{"strict", true}}, {}, {"Update metadata for"}, true, true},
      {"strict kept when not named", false, true, {{"desc", "new"}}, {}, {"Unlock"}, true, true},
      {"dropping strict asks again", false, true, {{"strict", false}}, {}, {"Unlock", "Remove strict protection from"},
       true, false},
      {"dropping strict canceled", false, true, {{"strict", false}}, AuthOutcome::canceled,
       {"Unlock", "Remove strict protection from"}, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    lockAll();
    put(kKey, "value-1", {{"type", "token"}, {"desc", "old"}, {"strict", c.strict}});
    if (c.session) unlock(person, "org/p/");
    auth->queue(AuthOutcome::success);
    if (c.secondAnswer) auth->queue(*c.secondAnswer);
    nlohmann::json body = c.request;
    body.update({{"cmd", "meta"}, {"account", kKey}});

    Reply reply = ask(body);

    EXPECT_EQ(newPrompts(), c.prompts);
    EXPECT_EQ(reply.ok(), c.changed);
    auto metadata = keychain.readMetadata(kKey);
    EXPECT_EQ(metadata->desc, c.changed && c.request.contains("desc") ? "new" : "old");
    // An empty text clears a field; a field not named stays.
    EXPECT_EQ(metadata->type, c.changed && c.request.contains("type") ? std::nullopt : std::optional<std::string>("token"));
    EXPECT_EQ(strict(kKey), c.strictAfter);
    EXPECT_EQ(stored(kKey), "value-1");
    if (c.changed) {
      // The reload may use the context that was just evaluated.
      EXPECT_TRUE(reply.refreshesApplication() && reply.refreshContext() && reply.refreshContext()->isEvaluated());
    }
    if (c.strictAfter) {
      EXPECT_FALSE(cached(kKey, person));
    }
  }
  EXPECT_THAT(audited(), IsEmpty());
}

TEST_F(HandlerTest, MetaKeepsASealedStrictFlagThatTheClearMetadataLost) {
  put(kKey, "value-1", {{"strict", true}});
  store->setGeneric("caskel", kKey, R"({"desc":"edited"})");
  ASSERT_TRUE(ask({{"cmd", "meta"}, {"account", kKey}, {"desc", "d"}}).ok());
  EXPECT_TRUE(strict(kKey));
}

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
            nlohmann::json::parse(R"({"ok":true,"unlocked":[{"prefix":"org/p/","count":2},{"prefix":"org/q/","count":1}]})"));

  EXPECT_TRUE(ask({{"cmd", "lock"}, {"prefix", "org/p"}}).ok());
  EXPECT_FALSE(cached("org/p/A", person));
  EXPECT_EQ(cached("org/q/C", person), "c");
  EXPECT_TRUE(ask({{"cmd", "lock"}}).ok());
  EXPECT_FALSE(cached("org/q/C", person));
  EXPECT_EQ(ask({{"cmd", "session"}}).toJson(), nlohmann::json::parse(R"({"ok":true,"unlocked":[]})"));

  auth->forgetLastSuccess();
  auth->queue(AuthOutcome::canceled);
  EXPECT_EQ(ask({{"cmd", "unlock"}, {"prefix", "org/p/"}}).error(), "Authentication canceled");
  EXPECT_THAT(audited(), ElementsAre("UNLOCK org/p/ ok (2 keys)", "UNLOCK org/q/ ok (1 keys)", "LOCK org/p/ ok",
                                     "LOCK (all) ok", "UNLOCK org/p/ auth_canceled"));
}

TEST_F(HandlerTest, ConfigSetsAndListsFolderTimeouts) {
  EXPECT_TRUE(ask({{"cmd", "config"}, {"action", "set"}, {"prefix", "org/p/"}, {"timeout", 90.5}}).ok());
  EXPECT_TRUE(ask({{"cmd", "config"}, {"action", "set"}, {"prefix", "org/q/"}, {"timeout", 60}}).ok());
  EXPECT_TRUE(ask({{"cmd", "config"}, {"action", "set"}, {"prefix", "org/q/"}}).ok());  // no time-out: removed
  EXPECT_EQ(ask({{"cmd", "config"}}).toJson(),
            nlohmann::json::parse(R"({"ok":true,"default_timeout":14400,"timeouts":[{"prefix":"org/p/","timeout":90}]})"));
  EXPECT_DOUBLE_EQ(sessions.timeout("org/p/"), 90.5);
  EXPECT_THAT(newPrompts(), IsEmpty());
}

}  // namespace
}  // namespace caskel::test
