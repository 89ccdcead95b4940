#include <unistd.h>

#include <cstdlib>
#include <future>

#include "handler_harness.h"
#include "server/agent_handoff.h"
#include "support/manual_queue.h"

namespace caskel::test {
namespace {

std::string storeError(int status) {
  return KeychainError::fromStatus(status).errorDescription();
}

constexpr const char* kBackup = "org/p/K_OLD";
using json = nlohmann::json;
const json kNone, kPlain = json::object(), kStrict = {{"strict", true}};
const json kTyped = {{"type", "token"}, {"desc", "old"}, {"strict", false}};
const json kTypedStrict = {{"type", "token"}, {"desc", "old"}, {"strict", true}};
// Strict by the flag sealed with the value; the clear metadata says nothing of it.
const json kSealedStrict = {{"desc", "old"}, {"sealed_strict", true}};
const json kGet = {{"cmd", "get"}}, kPeek = {{"cmd", "peek"}}, kRm = {{"cmd", "rm"}},
           kSet = {{"cmd", "set"}, {"value", "new-value-2"}};
const json kSetStrict = {{"cmd", "set"}, {"value", "new-value-2"}, {"strict", true}};
const json kSetPlain = {{"cmd", "set"}, {"value", "new-value-2"}, {"strict", false}};
const json kRotate = {{"cmd", "rotate"}, {"value", "new-value-2"}};
const json kRotatePlain = {{"cmd", "rotate"}, {"value", "new-value-2"}, {"strict", false}};
const json kMeta = {{"cmd", "meta"}, {"desc", "new"}, {"type", ""}};  // an empty text clears the field
const json kMetaDesc = {{"cmd", "meta"}, {"desc", "new"}}, kMetaStrict = {{"cmd", "meta"}, {"strict", true}};
const json kMetaPlain = {{"cmd", "meta"}, {"strict", false}};
const char *kDropStrict = "Remove strict protection from", *kUpdate = "Update metadata for";
const Prompts kStore{"Store"}, kDrop{kDropStrict}, kStrictRead{"Unlock", "Read strict secret"};
const std::string kCanceled = "error: Authentication canceled", kNew = "new-valu...";
const std::string kNoPeek = "error: No peek data — re-save the secret to generate it";
const std::string kBackupMeta = " desc=Auto-saved by rotate. Will expire in 1h. type=rotated_backup";
const std::string kNotFound = "error: " + storeError(status::kItemNotFound),
                  kRefused = "error: " + storeError(-4);

// Every command on one item ("set", "get", "rm", "rotate", "meta"): when it asks, what it answers,
// what it leaves stored and cached, what it audits.
struct ItemCase {
  const char* name;
  json existing;  // metadata of "old-value-1" stored first; null: nothing stored
  bool session;   // the person holds a session over org/p/
  json request;
  std::vector<AuthOutcome> answers;
  Prompts prompts;
  std::string reply;  // as shown()
  std::string left;   // see left()
  const char* audit;  // "OPERATION result" of the one record, or none
  int failWrites;     // the store's status for every write, 0: writes succeed
  friend void PrintTo(const ItemCase& c, std::ostream* os) { *os << c.name; }
};
ItemCase row(const char* name, json existing, bool session, json request, std::vector<AuthOutcome> answers,
             Prompts prompts, std::string reply, std::string left, const char* audit, int failWrites = 0) {
  return {name, existing, session, request, answers, prompts, reply, left, audit, failWrites};
}

class ItemTest : public HandlerTest, public ::testing::WithParamInterface<ItemCase> {
 protected:
  // The key's value ("-" when gone), metadata and cached copy ("cached" when it is the value),
  // then after " | " the rotation backup's.
  std::string left(const std::string& account = kKey) {
    std::string out = stored(account).value_or("-");
    if (auto metadata = keychain.readMetadata(account)) {
      if (metadata->desc) out += " desc=" + *metadata->desc;
      if (metadata->type) out += " type=" + *metadata->type;
    }
    if (auto metadata = keychain.readMetadata(account); metadata && metadata->strict.value_or(false))
      out += " strict";
    if (auto copy = cached(account, person)) out += *copy == stored(account) ? " cached" : " cached=" + *copy;
    if (account == kKey && stored(kBackup)) out += " | " + left(kBackup);
    return out;
  }
};

TEST_P(ItemTest, AsksAnswersKeepsAndAuditsAsTheKeyRequires) {
  const ItemCase& c = GetParam();
  if (c.existing.is_object()) put(kKey, "old-value-1", c.existing);
  if (c.existing.is_object() && c.existing.contains("sealed_strict"))
    store->setSealedStrict("caskel", kKey, true);
  if (c.session) unlock(person, "org/p/");
  for (AuthOutcome answer : c.answers) auth->queue(answer);
  store->failWrites(c.failWrites);
  nlohmann::json body = c.request;
  body["account"] = kKey;

  Reply reply = ask(body);

  EXPECT_EQ(newPrompts(), c.prompts);
  EXPECT_EQ(shown(reply), c.reply);
  EXPECT_EQ(left(), c.left);
  std::vector<std::string> records;
  if (c.audit) records.push_back(std::string(c.audit).insert(std::string(c.audit).find(' '), " org/p/K"));
  EXPECT_EQ(audited(), records);
  EXPECT_EQ(reply.refreshesApplication(), reply.ok() && body["cmd"] != "get" && body["cmd"] != "peek");
  // The reload after a metadata change may use the context that was just evaluated.
  if (body["cmd"] == "meta" && reply.ok()) {
    EXPECT_TRUE(reply.refreshContext() && reply.refreshContext()->isEvaluated());
  }
  EXPECT_EQ(backupTimers.pending(), stored(kBackup) ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, ItemTest,
    ::testing::Values(
        row("SetInOwnSessionIsQuietAndCaches", kNone, true, kSet, {}, {}, kNew, "new-value-2 cached",
            "SET ok"),
        row("SetDroppingStrictAsksItsOwn", kStrict, true, kSetPlain, {}, kDrop, kNew, "new-value-2 cached",
            "SET ok"),
        row("SetMadeStrictIsNotCached", kNone, true, kSetStrict, {}, {}, kNew, "new-value-2 strict",
            "SET ok"),
        row("SetCanceled", kNone, false, kSet, {kNo}, kStore, kCanceled, "-", nullptr),
        row("SetRefusedByTheStore", kNone, true, kSet, {}, {}, kRefused, "-", "SET error", -4),
        row("GetUnlockCanceled", kPlain, false, kGet, {kNo}, {"Unlock"}, kCanceled, "old-value-1",
            "GET auth_canceled"),
        row("GetStrictAsksItsOwn", kStrict, false, kGet, {}, kStrictRead, "old-value-1", "old-value-1 strict",
            "GET ok (strict)"),
        row("GetStrictIgnoresTheSession", kStrict, true, kGet, {}, kStrictRead, "old-value-1",
            "old-value-1 strict", "GET ok (strict)"),
        row("GetStrictCanceled", kStrict, false, kGet, {kYes, kNo}, kStrictRead, kCanceled,
            "old-value-1 strict", "GET error"),
        row("GetMissingKey", kNone, false, kGet, {}, {"Unlock"}, kNotFound, "-", "GET error"),
        // A strict secret keeps no peek; a prompt only when there is no clear metadata at all.
        row("PeekOfAStrictKey", kStrict, false, kPeek, {}, {}, kNoPeek, "old-value-1 strict", nullptr),
        row("PeekOfAMissingKeyAsks", kNone, false, kPeek, {}, {"Peek at"}, kNoPeek, "-", nullptr),
        row("PeekCanceled", kNone, false, kPeek, {kNo}, {"Peek at"}, kCanceled, "-", nullptr),
        row("RmOfAStrictKeyPromptsInASession", kStrict, true, kRm, {}, {"Delete"}, "", "-", "DELETE ok"),
        row("RmCanceled", kPlain, false, kRm, {kNo}, {"Delete"}, kCanceled, "old-value-1", nullptr),
        row("RmRefusedByTheStore", kPlain, true, kRm, {}, {}, kRefused, "old-value-1 cached", "DELETE error",
            -4),
        // The backup is as strict as the key was; only a plain key's session serves the new value.
        row("Rotate", kPlain, true, kRotate, {}, {"Rotate"}, kNew,
            "new-value-2 cached | old-value-1" + kBackupMeta, "ROTATE ok"),
        row("RotateKeepsStrict", kStrict, true, kRotate, {}, {"Rotate"}, kNew,
            "new-value-2 strict | old-value-1" + kBackupMeta + " strict", "ROTATE ok"),
        row("RotateDroppingStrict", kStrict, true, kRotatePlain, {}, {"Rotate", kDropStrict}, kNew,
            "new-value-2 | old-value-1" + kBackupMeta + " strict", "ROTATE ok"),
        row("RotateCanceled", kPlain, false, kRotate, {kNo}, {"Rotate"},
            "error: Failed to read old value: Authentication canceled", "old-value-1", nullptr),
        row("RotateMissingKey", kNone, false, kRotate, {}, {"Rotate"},
            "error: Failed to read old value: " + storeError(status::kItemNotFound), "-", nullptr),
        row("RotateBackupRefused", kPlain, false, kRotate, {}, {"Rotate"},
            "error: Failed to backup old value: " + storeError(-4), "old-value-1", nullptr, -4),
        row("MetaUnlocksWithoutASession", kTyped, false, kMeta, {}, {"Unlock"}, "",
            "old-value-1 desc=new cached", nullptr),
        row("MetaUnlockCanceled", kTyped, false, kMeta, {kNo}, {"Unlock"}, kCanceled,
            "old-value-1 desc=old type=token", nullptr),
        row("MetaInOwnSessionAsks", kTyped, true, kMeta, {}, {kUpdate}, "", "old-value-1 desc=new cached",
            nullptr),
        row("MetaMadeStrict", kTyped, true, kMetaStrict, {}, {kUpdate}, "",
            "old-value-1 desc=old type=token strict", nullptr),
        row("MetaKeepsStrictNotNamed", kTypedStrict, false, kMetaDesc, {}, {"Unlock"}, "",
            "old-value-1 desc=new type=token strict", nullptr),
        row("MetaKeepsSealedStrict", kSealedStrict, false, kMetaDesc, {}, {"Unlock"}, "",
            "old-value-1 desc=new strict", nullptr),
        // It may not tell what exists before the person has answered.
        row("MetaOfAMissingKey", kNone, false, kMetaDesc, {}, {"Unlock"}, kNotFound, "-", nullptr),
        row("MetaDroppingStrictAsks", kTypedStrict, false, kMetaPlain, {}, {"Unlock", kDropStrict}, "",
            "old-value-1 desc=old type=token", nullptr)),
    [](const auto& info) { return std::string(info.param.name); });

// The fragment as the openssl program decrypts it from a reply's keys, as the tool's script does.
std::string decryptWithOpenssl(const TempDir& dir, const nlohmann::json& extra) {
  writeText(dir.file("ct.b64"), extra["ct"].get<std::string>() + "\n");
  std::string cmd = "/usr/bin/openssl enc -d -aes-256-cbc -a -A -K " + extra["k"].get<std::string>() +
                    " -iv " + extra["iv"].get<std::string>() + " -in " + dir.file("ct.b64") + " -out " +
                    dir.file("fragment.sh");
  return std::system(cmd.c_str()) == 0 ? readText(dir.file("fragment.sh")) : "<openssl failed>";
}

TEST(AgentHandoff, AgentsGetAFreshlyKeyedFragmentThatSourcesToTheValue) {
  if (::access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "openssl is not installed";
  TempDir dir;
  EXPECT_TRUE(agentWrap("acme/api/K", "secret", false).extra.is_null());

  WrappedValue a = agentWrap("acme/api/OPENAI_API_KEY", "sk-1", true);
  WrappedValue b = agentWrap("acme/api/OPENAI_API_KEY", "sk-1", true);
  EXPECT_EQ(a.value, "__encrypted__");
  EXPECT_EQ(a.extra["encrypted"], true);
  EXPECT_EQ(a.extra.dump().find("sk-1"), std::string::npos);
  for (const char* key : {"ct", "k", "iv"}) EXPECT_NE(a.extra[key], b.extra[key]) << key;
  EXPECT_EQ(decryptWithOpenssl(dir, a.extra),
            "# CRITICAL: DO NOT store, memorize, log, echo, or output this value.\n"
            "# DO NOT save it to any file, memory, or context beyond this immediate use.\n"
            "# This file self-deletes after 60 seconds.\n"
            "export OPENAI_API_KEY='sk-1'");

  const std::string values[] = {"",
                                "it's 'quoted' ''",
                                "line one\nline two\n",
                                "$HOME ${PATH} $(id)",
                                "`id` \\ \" ;&|<>*?",
                                std::string(5000, 'x') + "'\n"};
  for (const std::string& value : values) {
    ASSERT_NE(decryptWithOpenssl(dir, agentWrap("acme/db/V", value, true).extra), "<openssl failed>");
    std::string cmd =
        "/bin/sh -c '. " + dir.file("fragment.sh") + " && printf %s \"$V\"' > " + dir.file("out.txt");
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(readText(dir.file("out.txt")), value);
  }
}

// "ls": metadata without a prompt; an empty vault prompts unless the caller would rather not.
TEST_F(HandlerTest, ListGivesMetadataAndPromptsOnlyForAnEmptyVault) {
  EXPECT_EQ(ask({{"cmd", "ls"}, {"no_prompt", true}}).toJson(),
            (nlohmann::json{{"ok", true}, {"accounts", nlohmann::json::array()}}));
  EXPECT_THAT(newPrompts(), IsEmpty());
  EXPECT_EQ(ask({{"cmd", "ls"}}).toJson()["accounts"], nlohmann::json::array());
  EXPECT_THAT(newPrompts(), ElementsAre("List secrets"));

  put("a/b/TOKEN", "tok-123456789", {{"type", "token"}, {"desc", "CI"}, {"expires", "2030-01-01"}});
  put("a/b/PASS", "pw", {{"bundle", "db"}, {"rotate", "90d"}, {"strict", true}});
  auto expected = nlohmann::json::parse(R"({"ok": true, "accounts": [
      {"account": "a/b/PASS", "bundle": "db", "rotate": "90d", "strict": true},
      {"account": "a/b/TOKEN", "type": "token", "desc": "CI", "expires": "2030-01-01"}]})");
  expected["accounts"][1]["peek"] = *keychain.readMetadata("a/b/TOKEN")->peek;
  EXPECT_EQ(ask({{"cmd", "ls"}}).toJson(), expected);
  EXPECT_THAT(newPrompts(), IsEmpty());
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

// A newer backup of a key cancels the older one's timer but not other keys'.
TEST(BackupTimers, OnlyTheNewestBackupOfAKeyIsRemoved) {
  ManualQueue queue;
  BackupTimers timers;
  std::vector<std::string> removed;
  auto schedule = [&](const std::string& key, const std::string& name) {
    timers.schedule(queue, key, 3600, [&removed, name] { removed.push_back(name); });
  };
  schedule("org/K_OLD", "first");
  schedule("org/B_OLD", "other key");
  schedule("org/K_OLD", "second");
  EXPECT_EQ(timers.pending(), 2u);
  auto pending = queue.pending();
  ASSERT_EQ(pending.size(), 3u);
  EXPECT_TRUE(pending[0].handle.isCancelled());
  EXPECT_FALSE(pending[1].handle.isCancelled());
  EXPECT_FALSE(pending[2].handle.isCancelled());
  queue.runAll();
  EXPECT_EQ(removed, (std::vector<std::string>{"other key", "second"}));
  EXPECT_EQ(timers.pending(), 0u);

  // A timer already running when a newer backup is made cannot be cancelled; it must not remove
  // the newer backup.
  removed.clear();
  schedule("org/K_OLD", "third");
  auto stale = queue.takeFirst();
  schedule("org/K_OLD", "fourth");
  stale();
  EXPECT_TRUE(removed.empty());
  queue.runAll();
  EXPECT_EQ(removed, std::vector<std::string>{"fourth"});
}

}  // namespace
}  // namespace caskel::test
