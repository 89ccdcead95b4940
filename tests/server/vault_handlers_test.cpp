// The vault-wide commands' refusals, made before anyone is asked.
#include <gtest/gtest.h>

#include "server/handler_harness.h"

namespace caskel::test {
namespace {

using json = nlohmann::json;

class VaultHandlersTest : public HandlerTest {};

TEST_F(VaultHandlersTest, AgentsAndDetachedCallersAreRefusedWithoutAPrompt) {
  CallerInfo detached = callerOf(4300, false);
  detached.detached = true;
  const json requests[] = {{{"cmd", "passwd"}},
                           {{"cmd", "backup"}, {"path", home.path() + "/b.db"}},
                           {{"cmd", "restore"}, {"path", home.path() + "/b.db"}}};
  for (const json& body : requests) {
    for (const CallerInfo* caller : {&agent, &detached}) {
      SCOPED_TRACE(body.dump());
      Reply reply = ask(*caller, body);
      ASSERT_TRUE(reply.error());
      EXPECT_NE(reply.error()->find("is blocked for AI agents and detached processes"), std::string::npos);
    }
  }
  EXPECT_TRUE(newPrompts().empty());
}

TEST_F(VaultHandlersTest, PathsMustBeAbsoluteFilePaths) {
  for (const json& path :
       {json("relative.db"), json("/tmp/dir/"), json(""), json(42), json(std::string("/tmp/a\0b", 8))}) {
    for (const char* cmd : {"backup", "restore"}) {
      SCOPED_TRACE(std::string(cmd) + " " + path.dump());
      EXPECT_EQ(ask({{"cmd", cmd}, {"path", path}}).error(),
                "Invalid path — give the backup file's absolute path");
    }
  }
  EXPECT_TRUE(newPrompts().empty());
}

}  // namespace
}  // namespace caskel::test
