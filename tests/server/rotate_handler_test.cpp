#include <future>

#include "handler_harness.h"

namespace caskel::test {
namespace {

constexpr const char* kBackup = "org/p/K_OLD";

// "rotate": always its own prompt; the old value kept as a backup as strict as the key was.
TEST_F(HandlerTest, RotateKeepsABackupAsStrictAsTheKeyAndUpdatesTheCache) {
  struct {
    const char* name;
    bool strict;
    nlohmann::json request;  // metadata fields of the request
    Prompts prompts;
    bool strictAfter;
  } cases[] = {
      {"plain", false, nullptr, {"Rotate"}, false},
      {"strict kept without metadata", true, nullptr, {"Rotate"}, true},
      {"strict dropped on request",
       true,
       {{"strict", false}},
       {"Rotate", "Remove strict protection from"},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    lockAll();
    put(kKey, "old-value-1", c.strict ? nlohmann::json{{"strict", true}} : nlohmann::json());
    unlock(person, "org/p/");
    nlohmann::json body = c.request.is_object() ? c.request : nlohmann::json::object();
    body.update({{"cmd", "rotate"}, {"account", kKey}, {"value", "new-value-2"}});

    Reply reply = ask(body);

    EXPECT_EQ(newPrompts(), c.prompts);
    EXPECT_EQ(reply.value(), "new-valu...");
    EXPECT_TRUE(reply.refreshesApplication());
    EXPECT_EQ(stored(kKey), "new-value-2");
    EXPECT_EQ(stored(kBackup), "old-value-1");
    EXPECT_EQ(keychain.readMetadata(kBackup)->type, "rotated_backup");
    EXPECT_EQ(strict(kBackup), c.strict);
    EXPECT_EQ(strict(kKey), c.strictAfter);
    // A plain key's session serves the new value; a strict one serves nothing.
    EXPECT_EQ(cached(kKey, person), c.strict ? std::nullopt : std::optional<std::string>("new-value-2"));
    EXPECT_FALSE(cached(kBackup, person));
    EXPECT_EQ(backupTimers.pending(), 1u);
  }
  EXPECT_THAT(audited(), ElementsAre("ROTATE org/p/K ok", "ROTATE org/p/K ok", "ROTATE org/p/K ok"));
}

TEST_F(HandlerTest, RotateThatCannotReadOrKeepTheOldValueChangesNothing) {
  auth->queue(kNo);
  put(kKey, "old-value-1");
  EXPECT_EQ(ask({{"cmd", "rotate"}, {"account", kKey}, {"value", "n"}}).error(),
            "Failed to read old value: " + canceled());
  EXPECT_EQ(ask({{"cmd", "rotate"}, {"account", "org/p/NONE"}, {"value", "n"}}).error(),
            "Failed to read old value: " + storeError(status::kItemNotFound));
  store->failWrites(-4);
  EXPECT_EQ(ask({{"cmd", "rotate"}, {"account", kKey}, {"value", "n"}}).error(),
            "Failed to backup old value: " + storeError(-4));
  EXPECT_EQ(stored(kKey), "old-value-1");
  EXPECT_FALSE(stored(kBackup));
  EXPECT_EQ(backupTimers.pending(), 0u);
  EXPECT_THAT(audited(), IsEmpty());
}

TEST_F(HandlerTest, RotateBackupIsRemovedWhenItsLifetimeEnds) {
  std::promise<void> refreshed;
  services.refreshApplication = [&](std::shared_ptr<AuthContext>) { refreshed.set_value(); };
  services.backupLifetime = 0.01;
  put(kKey, "old-value-1");
  ASSERT_TRUE(ask({{"cmd", "rotate"}, {"account", kKey}, {"value", "new-value-2"}}).ok());
  // The reply's own refresh is the writer's business: only the removal calls it here.
  ASSERT_EQ(refreshed.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_FALSE(stored(kBackup));
  EXPECT_EQ(stored(kKey), "new-value-2");
}

}  // namespace
}  // namespace caskel::test
