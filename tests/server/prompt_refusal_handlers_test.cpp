// What every prompting command answers when the prompt did not end in a yes: the person's no is
// a cancel, and no prompt at all is named as such.
#include <gtest/gtest.h>

#include "server/handler_harness.h"

namespace caskel::test {
namespace {

using json = nlohmann::json;

class PromptRefusalTest : public HandlerTest {};

TEST_F(PromptRefusalTest, AnUnavailablePromptIsNamedByEveryPromptingCommand) {
  put(kKey, "value-1234");
  const json requests[] = {
      {{"cmd", "get"}, {"account", kKey}},
      {{"cmd", "set"}, {"account", kKey}, {"value", "v2"}},
      {{"cmd", "rm"}, {"account", kKey}},
      {{"cmd", "unlock"}, {"prefix", "org/p"}},
      {{"cmd", "meta"}, {"account", kKey}, {"desc", "d"}},
      {{"cmd", "rotate"}, {"account", kKey}, {"value", "v3"}},
  };
  const std::pair<AuthOutcome, std::string> outcomes[] = {
      {AuthOutcome::unavailable, "Passphrase prompt unavailable: the passphrase prompt could not be shown"},
      {AuthOutcome::canceled, canceled()},
  };
  for (const auto& [outcome, text] : outcomes) {
    for (const json& body : requests) {
      SCOPED_TRACE(body.dump());
      auth->queue(outcome);  // each command stops at its first prompt
      Reply reply = ask(body);
      ASSERT_TRUE(reply.error());
      EXPECT_NE(reply.error()->find(text), std::string::npos) << *reply.error();
    }
  }
  EXPECT_EQ(stored(kKey), "value-1234");
}

}  // namespace
}  // namespace caskel::test
