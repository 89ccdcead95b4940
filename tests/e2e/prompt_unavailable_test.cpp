// No prompt is not a no: through the real caskeld, a request that needed the passphrase prompt
// says why none could be shown, the server says it once, and "ls" does not pass that off as an
// empty vault (an unreadable vault's listing is in the damaged-file tests).
#include <gtest/gtest.h>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

TEST(PromptUnavailableTest, AMissingPinentryIsNamedNotTakenForACancel) {
  TempDir empty;
  CaskeldProcess server([&](auto& o) {
    o.unsetPinentry = true;
    o.extraEnv = {{"PATH", empty.path()}};
  });
  ASSERT_TRUE(server.start()) << server.output();
  const std::string expected = "Passphrase prompt unavailable: no pinentry program found";
  // Every prompting command names it (the handlers' tests); here, the reason the real prompt gives.
  for (const json& body : {getRequest("org/p/KEY"), json{{"cmd", "ls"}}}) {
    json reply = server.request(body);
    EXPECT_EQ(reply["ok"], false) << body;
    EXPECT_EQ(reply["error"], expected) << body;
  }
}

TEST(PromptUnavailableTest, APinentryThatDiesIsReportedOnceAndLsDoesNotClaimAnEmptyVault) {
  CaskeldProcess server;
  server.pinentry().setDefault("CRASH");
  ASSERT_TRUE(server.start()) << server.output();
  const std::string expected = "Passphrase prompt unavailable: pinentry exited without answering";
  for (int i = 0; i < 3; ++i) {
    json listed = server.request({{"cmd", "ls"}});
    EXPECT_EQ(listed["ok"], false) << listed;
    EXPECT_FALSE(listed.contains("accounts"));
    EXPECT_EQ(listed.value("error", "").rfind(expected, 0), 0u) << listed;
    EXPECT_EQ(server.request(setRequest("org/p/KEY", "v")).value("error", "").rfind(expected, 0), 0u);
  }
  // The server says it once, however many requests met it.
  std::string out = server.output();
  const std::string line = "Caskel: passphrase prompt unavailable: pinentry exited without answering";
  size_t first = out.find(line);
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_EQ(out.find(line, first + 1), std::string::npos) << out;
  // A person's own no is still a cancel.
  server.pinentry().answer("CANCEL");
  EXPECT_EQ(server.request({{"cmd", "ls"}})["error"], "Authentication canceled");
}

}  // namespace
}  // namespace caskel::test
