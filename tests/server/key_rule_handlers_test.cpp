// Keys that name no single item are refused by every command that writes one, while those an
// older version stored stay listable and deletable; "unlock" opens no session over nothing.
#include <gmock/gmock.h>

#include "base/key_path.h"
#include "handler_harness.h"

namespace caskel::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(HandlerTest, WritesOfKeysThatAreNotFullAreRefusedBeforeAnyPrompt) {
  const nlohmann::json writes[] = {
      {{"cmd", "set"}, {"value", "v-123456789"}},
      {{"cmd", "set"}, {"value", "v-123456789"}, {"desc", "d"}},
      {{"cmd", "rotate"}, {"value", "v-123456789"}},
      {{"cmd", "meta"}, {"desc", "d"}},
      {{"cmd", "get"}},
  };
  for (const char* key : {"org/p/", "/org/K", "org//K", "org/./K", "org/../K", "./K", "K", "org/K/.."}) {
    for (nlohmann::json body : writes) {
      body["account"] = key;
      SCOPED_TRACE(body.dump());
      Reply reply = ask(body);
      EXPECT_FALSE(reply.ok());
      EXPECT_EQ(reply.error(), notFullKeyText(key));
      EXPECT_THAT(newPrompts(), IsEmpty());
      EXPECT_FALSE(stored(key));
    }
  }
  EXPECT_THAT(audited(), IsEmpty());
}

TEST_F(HandlerTest, UnlockOfAFolderWithoutKeysOpensNoSessionUnlessAskedTo) {
  put("org/px/A", "a-value");  // a text prefix of its folder name is not the folder
  put("org/q/S", "s-value", {{"strict", true}});
  struct {
    const char* prefix;
    bool allowEmpty;
    bool ok;
    Prompts prompts;
  } cases[] = {
      {"org/p", false, false, {}},
      {"org/p/", false, false, {}},
      {"org/p", true, true, {"Unlock"}},
      // Strict keys only: nothing is cached, but the folder is not empty.
      {"org/q", false, true, {"Unlock"}},
      {"org", false, true, {"Unlock"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.prefix) + (c.allowEmpty ? " allow_empty" : ""));
    lockAll();
    nlohmann::json body = {{"cmd", "unlock"}, {"prefix", c.prefix}};
    if (c.allowEmpty) body["allow_empty"] = true;
    Reply reply = ask(body);
    EXPECT_EQ(reply.ok(), c.ok);
    EXPECT_EQ(newPrompts(), c.prompts);
    const std::string folder = normalizePrefix(c.prefix);
    EXPECT_EQ(sessions.isUnlocked(folder + "NEW", person.binding()), c.ok);
    if (!c.ok) {
      EXPECT_EQ(reply.error(), "No secrets under " + folder + " — nothing to unlock");
    }
  }
  EXPECT_THAT(audited(), ElementsAre("UNLOCK org/p/ ok (0 keys)", "UNLOCK org/q/ ok (0 keys)",
                                     "UNLOCK org/ ok (1 keys)"));
}

}  // namespace
}  // namespace caskel::test
