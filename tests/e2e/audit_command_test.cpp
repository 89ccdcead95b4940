// `caskel audit` against the real server: the log is switched and read through requests, and
// only the person may change it.
#include <gmock/gmock.h>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class AuditCommand : public ToolFixture {
 protected:
  AuditCommand() : ToolFixture([](auto& o) { o.auditEnabled = false; }) {}
};

TEST_F(AuditCommand, OnThenAReadIsShown) {
  put("acme/api/KEY", "sk-audit-value-1");
  ASSERT_TRUE(printed(caskel({"audit", "on"}), server.configDir() + "/audit.log"));
  ASSERT_TRUE(printed(caskel({"get", "acme/api/KEY", "--raw"}), "sk-audit-value-1"));
  auto show = caskel({"audit", "show"});
  ASSERT_EQ(show.code, 0) << show.err;
  // Oldest first, ending with the read; the log never holds the value.
  EXPECT_THAT(show.out, HasSubstr("AUDIT result=on\n"));
  EXPECT_THAT(show.out, testing::EndsWith(" GET account=acme/api/KEY result=ok\n"));
  EXPECT_THAT(show.out, Not(HasSubstr("sk-audit")));
  EXPECT_EQ(caskel({"audit", "show", "-n", "1"}).out.find("AUDIT"), std::string::npos);
}

TEST_F(AuditCommand, OnlyThePersonChangesTheLogAndHidingItAsks) {
  ASSERT_EQ(caskel({"audit", "on"}).code, 0);
  const int before = server.prompts();
  // An agent may read the log (it could read the file anyway) but not switch it off.
  EXPECT_TRUE(failedWith(agentCaskel({"audit", "off"}), 1, "blocked for AI agents"));
  EXPECT_EQ(agentCaskel({"audit", "show"}).code, 0);
  EXPECT_EQ(server.prompts(), before);

  server.pinentry().answer("CANCEL");
  EXPECT_EQ(caskel({"audit", "off"}).code, 1);
  EXPECT_THAT(server.lastPrompt(), HasSubstr("Turn off the audit log"));

  EXPECT_EQ(caskel({"audit", "off"}).out, "Audit logging is off.\n");
  auto shown = caskel({"audit", "show"});
  EXPECT_THAT(shown.out, testing::EndsWith("AUDIT result=off\n"));
  EXPECT_THAT(shown.err, HasSubstr("`caskel audit on`"));
}

}  // namespace
}  // namespace caskel::test
