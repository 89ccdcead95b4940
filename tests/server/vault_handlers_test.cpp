// The vault-wide commands' refusals, made before anyone is asked.
#include "handler_harness.h"

namespace caskel::test {
namespace {

TEST_F(HandlerTest, VaultCommandsRefuseAgentsDetachedCallersAndPathsThatAreNotAbsoluteFiles) {
  const nlohmann::json requests[] = {{{"cmd", "passwd"}},
                                     {{"cmd", "backup"}, {"path", home.path() + "/b.db"}},
                                     {{"cmd", "restore"}, {"path", home.path() + "/b.db"}}};
  for (const nlohmann::json& body : requests) {
    for (const CallerInfo* caller : {&agent, &detached}) {
      SCOPED_TRACE(body.dump());
      EXPECT_THAT(ask(*caller, body).error().value_or(""),
                  ::testing::HasSubstr("is blocked for AI agents and detached processes"));
    }
  }
  for (const nlohmann::json& path :
       {nlohmann::json("relative.db"), nlohmann::json("/tmp/dir/"), nlohmann::json(""), nlohmann::json(42),
        nlohmann::json(std::string("/tmp/a\0b", 8))}) {
    for (const char* cmd : {"backup", "restore"}) {
      SCOPED_TRACE(std::string(cmd) + " " + path.dump());
      EXPECT_EQ(ask({{"cmd", cmd}, {"path", path}}).error(),
                "Invalid path — give the backup file's absolute path");
    }
  }
  EXPECT_THAT(newPrompts(), IsEmpty());
}

}  // namespace
}  // namespace caskel::test
