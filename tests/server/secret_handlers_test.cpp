#include "handler_harness.h"

namespace caskel::test {
namespace {

const nlohmann::json kStrict = {{"strict", true}}, kNotStrict = {{"strict", false}};
const Prompts kStore{"Store"}, kDrop{"Remove strict protection from"},
    kStrictRead{"Unlock", "Read strict secret"};

// "set": when it asks, what it caches, what it audits; a write the store refuses is an error.
struct SetCase {
  const char* name;
  bool session;             // the caller holds a session over org/p/
  nlohmann::json existing;  // metadata of an item already stored, null for none
  nlohmann::json request;   // metadata fields of the request
  std::vector<AuthOutcome> answers;
  Prompts prompts;
  bool stored;
  bool cached;
  int writeStatus;  // 0: the store takes the write
  friend void PrintTo(const SetCase& c, std::ostream* os) { *os << c.name; }
};

class SetTest : public HandlerTest, public ::testing::WithParamInterface<SetCase> {};

TEST_P(SetTest, AsksCachesAndAuditsAsTheKeyRequires) {
  const SetCase& c = GetParam();
  if (!c.existing.is_null()) put(kKey, "old-value", c.existing);
  if (c.session) unlock(person, "org/p/");
  for (AuthOutcome answer : c.answers) auth->queue(answer);
  if (c.writeStatus) store->failWrites(c.writeStatus);
  nlohmann::json body = c.request.is_object() ? c.request : nlohmann::json::object();
  body.update({{"cmd", "set"}, {"account", kKey}, {"value", "s3cret-value-1"}});

  Reply reply = ask(body);

  EXPECT_EQ(newPrompts(), c.prompts);
  EXPECT_EQ(reply.ok(), c.stored);
  EXPECT_EQ(reply.refreshesApplication(), c.stored);
  EXPECT_EQ(stored(kKey), c.stored               ? "s3cret-value-1"
                          : c.existing.is_null() ? std::nullopt
                                                 : std::optional("old-value"));
  EXPECT_EQ(cached(kKey, person).has_value(), c.cached);
  if (c.stored) {
    EXPECT_EQ(reply.value(), "s3cret-v...");
    EXPECT_THAT(audited(), ElementsAre("SET org/p/K ok"));
  } else {
    EXPECT_EQ(reply.error(), c.writeStatus ? storeError(c.writeStatus) : "Authentication canceled");
    EXPECT_EQ(audited(),
              c.writeStatus ? std::vector<std::string>{"SET org/p/K error"} : std::vector<std::string>{});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, SetTest,
    ::testing::ValuesIn(std::vector<SetCase>{
        {"NoSessionPrompts", false, nullptr, nullptr, {}, kStore, true, false, 0},
        {"OwnSessionStoresQuietlyAndCaches", true, nullptr, nullptr, {}, {}, true, true, 0},
        {"StrictKeyPromptsInASessionAndStaysUncached", true, kStrict, nullptr, {}, kStore, true, false, 0},
        {"DroppingStrictAsksItsOwnQuestion", true, kStrict, kNotStrict, {}, kDrop, true, true, 0},
        {"MadeStrictInASessionIsNotCached", true, nullptr, kStrict, {}, {}, true, false, 0},
        {"CanceledStoresNothing", false, nullptr, nullptr, {kNo}, kStore, false, false, 0},
        {"CanceledDowngradeKeepsTheOldValue", true, kStrict, kNotStrict, {kNo}, kDrop, false, false, 0},
        {"StoreRefusesTheWrite", true, nullptr, nullptr, {}, {}, false, false, -4}}),
    [](const auto& info) { return std::string(info.param.name); });

// "get": from the cache, after an unlock, or behind a strict secret's own prompt.
enum class Stored { none, plain, strict, sealedStrict };
struct GetCase {
  const char* name;
  Stored item;
  bool session;
  std::vector<AuthOutcome> answers;
  Prompts prompts;
  std::optional<std::string> error;  // nothing: the value comes back
  const char* audit;
  bool cachedAfter;
  friend void PrintTo(const GetCase& c, std::ostream* os) { *os << c.name; }
};

class GetTest : public HandlerTest, public ::testing::WithParamInterface<GetCase> {};

TEST_P(GetTest, ServesTheValueOnlyAsTheKeyAllows) {
  const GetCase& c = GetParam();
  if (c.item != Stored::none)
    put(kKey, "s3cret-value-1", c.item == Stored::strict ? kStrict : nlohmann::json());
  // Strict by the flag sealed with the value although its clear metadata was edited.
  if (c.item == Stored::sealedStrict) store->setSealedStrict("caskel", kKey, true);
  if (c.session) unlock(person, "org/p/");
  for (AuthOutcome answer : c.answers) auth->queue(answer);

  Reply reply = ask({{"cmd", "get"}, {"account", kKey}});

  EXPECT_EQ(newPrompts(), c.prompts);
  EXPECT_EQ(reply.error(), c.error);
  if (!c.error) {
    EXPECT_EQ(reply.value(), "s3cret-value-1");
  }
  EXPECT_THAT(audited(), ElementsAre(std::string("GET org/p/K ") + c.audit));
  EXPECT_EQ(cached(kKey, person).has_value(), c.cachedAfter);
  EXPECT_FALSE(reply.refreshesApplication());
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, GetTest,
    ::testing::ValuesIn(std::vector<GetCase>{
        {"CachedInOwnSession", Stored::plain, true, {}, {}, {}, "ok (cached)", true},
        {"UnlocksTheFolderOnceThenCaches", Stored::plain, false, {}, {"Unlock"}, {}, "ok", true},
        {"UnlockCanceled", Stored::plain, false, {kNo}, {"Unlock"}, canceled(), "auth_canceled", false},
        {"StrictTakesItsOwnPrompt", Stored::strict, false, {}, kStrictRead, {}, "ok (strict)", false},
        {"StrictIgnoresTheSession", Stored::strict, true, {}, kStrictRead, {}, "ok (strict)", false},
        {"StrictBySealedFlag", Stored::sealedStrict, false, {}, kStrictRead, {}, "ok (strict)", false},
        {"StrictPromptCanceled", Stored::strict, false, {kYes, kNo}, kStrictRead, canceled(), "error", false},
        {"MissingKey",
         Stored::none,
         false,
         {},
         {"Unlock"},
         storeError(status::kItemNotFound),
         "error",
         false}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HandlerTest, AgentsGetOnlyTheEncryptedHandOffAndNeverRawOutput) {
  put(kKey, "s3cret-value-1");
  Reply refused = ask(agent, {{"cmd", "get"}, {"account", kKey}, {"output", "raw"}});
  EXPECT_EQ(refused.error(), kRawOutputRefused);
  EXPECT_THAT(newPrompts(), IsEmpty());

  for (int round = 0; round < 2; ++round) {  // through the unlock, then from the agent's cache
    Reply reply = ask(agent, {{"cmd", "get"}, {"account", kKey}});
    EXPECT_EQ(reply.value(), "__encrypted__");
    nlohmann::json wire = reply.toJson();
    // The hand-off's "value" replaces the common one on the wire.
    EXPECT_EQ(wire["value"], "__encrypted__");
    EXPECT_TRUE(wire.value("encrypted", false) && wire.contains("ct") && wire.contains("k")) << wire;
    EXPECT_EQ(wire.dump().find("s3cret"), std::string::npos);
  }
  EXPECT_THAT(newPrompts(), ElementsAre("Unlock"));
  // The agent's session is its own: the person's cache stays empty.
  EXPECT_FALSE(cached(kKey, person));
  EXPECT_EQ(ask({{"cmd", "get"}, {"account", kKey}, {"output", "raw"}}).value(), "s3cret-value-1");
}

// "peek": the stored peek without a prompt; a prompt only when there is no clear metadata.
TEST_F(HandlerTest, PeekShowsTheStoredPeekAndPromptsOnlyWithoutMetadata) {
  put(kKey, "s3cret-value-1");
  auto peek = keychain.readMetadata(kKey)->peek;
  ASSERT_TRUE(peek && !peek->empty());
  EXPECT_EQ(ask({{"cmd", "peek"}, {"account", kKey}}).value(), *peek + "...");
  EXPECT_THAT(newPrompts(), IsEmpty());

  put("org/p/S", "strict-value", kStrict);  // a strict secret keeps no peek
  EXPECT_EQ(ask({{"cmd", "peek"}, {"account", "org/p/S"}}).error(),
            "No peek data — re-save the secret to generate it");
  EXPECT_THAT(newPrompts(), IsEmpty());

  struct {
    std::optional<AuthOutcome> answer;  // nothing: no prompt can be shown
    const char* error;
  } missing[] = {{kYes, "No peek data — re-save the secret to generate it"},
                 {kNo, "Authentication canceled"},
                 {std::nullopt, "Passphrase prompt unavailable: no passphrase prompt is set up"}};
  for (const auto& m : missing) {
    auth->forgetLastSuccess();
    auth->setAvailable(m.answer.has_value());
    if (m.answer) auth->queue(*m.answer);
    EXPECT_EQ(ask({{"cmd", "peek"}, {"account", "org/p/NONE"}}).error(), m.error);
    EXPECT_EQ(newPrompts(), m.answer ? Prompts{"Peek at"} : Prompts{});
  }
}

// "rm": quiet in the caller's own session unless strict; the cache forgets the key.
TEST_F(HandlerTest, DeletePromptsUnlessInOwnSessionAndDropsTheCachedValue) {
  struct {
    const char* name;
    bool session;
    bool strict;
    std::optional<AuthOutcome> answer;
    Prompts prompts;
    bool deleted;
  } cases[] = {{"own session", true, false, std::nullopt, {}, true},
               {"no session", false, false, std::nullopt, {"Delete"}, true},
               {"strict in a session", true, true, std::nullopt, {"Delete"}, true},
               {"canceled", false, false, kNo, {"Delete"}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    lockAll();
    put(kKey, "s3cret-value-1", c.strict ? kStrict : nlohmann::json());
    if (c.session) unlock(person, "org/p/");
    if (c.answer) auth->queue(*c.answer);
    Reply reply = ask({{"cmd", "rm"}, {"account", kKey}});
    EXPECT_EQ(newPrompts(), c.prompts);
    EXPECT_EQ(reply.ok(), c.deleted);
    EXPECT_EQ(reply.refreshesApplication(), c.deleted);
    EXPECT_EQ(stored(kKey).has_value(), !c.deleted);
    if (c.deleted) {
      EXPECT_FALSE(cached(kKey, person));
    }
  }
  EXPECT_THAT(audited(), ElementsAre("DELETE org/p/K ok", "DELETE org/p/K ok", "DELETE org/p/K ok"));

  store->failWrites(-4);
  EXPECT_FALSE(ask({{"cmd", "rm"}, {"account", kKey}}).ok());
  EXPECT_EQ(audited().back(), "DELETE org/p/K error");
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

}  // namespace
}  // namespace caskel::test
