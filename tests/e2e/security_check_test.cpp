// The self-check against the real caskeld: in its own network namespace it passes the checks
// that decide, and without the namespace the network check fails.
#include "app/security_check.h"

#include <unistd.h>

#include <filesystem>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

// The system's tools, except that the server is the one this test started (other servers may
// run on the machine, and pgrep would pick the oldest).
// A system that refuses namespaces altogether (a container's own seccomp profile, say) leaves
// the server with its filter alone, and says so; the checks below need the namespace.
bool systemRefusesNamespaces(const std::string& output) {
  for (const char* refusal : {"(unshare: ", "(cannot map ", "(/proc/self/", "(root without", "(the trial"}) {
    if (has(output, std::string("Caskel: no network namespace of its own ") + refusal)) return true;
  }
  return false;
}

std::vector<CheckOutcome> checkServer(pid_t server) {
  ToolRunner runner = [server](const std::string& program, const std::vector<std::string>& args) {
    if (program == "pgrep") return ChildResult{true, false, 0, std::to_string(server) + "\n"};
    ChildOptions options;
    options.captureOutput = true;
    return runChild(program, args, options);
  };
  std::vector<CheckOutcome> rows(SecurityCheck::kCount);
  SecurityCheck(runner, buildPath("src/caskeld")).run([&](size_t row, const CheckOutcome& o) { rows[row] = o; });
  return rows;
}

class SecurityCheckTest : public ToolFixture {};

TEST_F(SecurityCheckTest, TheNamespacedServerPassesTheDecidingChecks) {
  if (systemRefusesNamespaces(server.output())) GTEST_SKIP() << server.output();
  const auto rows = checkServer(server.pid());
  EXPECT_EQ(rows[0], (CheckOutcome{true, "Only the loopback device — no route to any network"}));
  EXPECT_TRUE(rows[1].passed) << rows[1].detail;
  EXPECT_EQ(rows[4], (CheckOutcome{true, "No open network sockets"}));
  EXPECT_FALSE(has(server.output(), "Caskel: no network namespace")) << server.output();
}

TEST_F(SecurityCheckTest, VerifyPrintsTheCommandsForTheRunningServer) {
  const ProcessResult verify = caskel({"verify"});
  const std::string pid = std::to_string(server.pid());
  EXPECT_TRUE(printed(verify, "cat /proc/" + pid + "/net/dev\n"));
  EXPECT_TRUE(printed(verify, "grep -E '^(NoNewPrivs|Seccomp):' /proc/" + pid + "/status\n"));
  server.stop();
  EXPECT_TRUE(printed(caskel({"verify"}), "cat /proc/$(pgrep -xo caskel-app || pgrep -xo caskeld)/net/dev"));
}

// An ordinary user's server enters through a user namespace; its helper outside still lets it
// identify callers, whose /proc links the kernel closes to it.
TEST(SecurityCheckOrdinaryUser, TheServerEntersThroughAUserNamespaceAndStillIdentifiesCallers) {
  if (::getuid() != 0) GTEST_SKIP() << "the other tests run the server as an ordinary user already";
  const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  CaskeldProcess server([&](auto& o) { o.launcher = nobody; });
  std::filesystem::path home(server.home());
  ::chown(home.c_str(), 65534, 65534);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home))
    ASSERT_EQ(::lchown(entry.path().c_str(), 65534, 65534), 0) << entry.path();
  ASSERT_TRUE(server.start()) << server.output();
  if (systemRefusesNamespaces(server.output())) GTEST_SKIP() << server.output();
  EXPECT_FALSE(has(server.output(), "Caskel: no network namespace")) << server.output();
  const auto rows = checkServer(server.pid());
  EXPECT_TRUE(rows[0].passed && rows[1].passed && rows[4].passed)
      << rows[0].detail << "; " << rows[1].detail << "; " << rows[4].detail;
  std::vector<std::string> client = nobody;
  client.push_back(CaskeldProcess::rawClientPath());
  EXPECT_EQ(server.ask(client, {{"cmd", "version"}})["ok"], true);
  // The passphrase prompts (creating the vault, then reading) are started by the helper outside.
  ASSERT_EQ(server.ask(client, setRequest("acme/api/KEY", "value-1"))["ok"], true);
  EXPECT_EQ(server.ask(client, getRequest("acme/api/KEY"))["value"], "value-1");
  EXPECT_GE(server.prompts(), 2);
}

TEST(SecurityCheckWithoutNamespace, TheNetworkCheckFailsAndTheServerSaysWhy) {
  CaskeldProcess server([](auto& o) { o.extraEnv["CASKEL_NO_NETNS"] = "1"; });
  ASSERT_TRUE(server.start()) << server.output();
  EXPECT_TRUE(has(server.output(), "Caskel: no network namespace of its own (turned off by CASKEL_NO_NETNS)"))
      << server.output();
  const auto rows = checkServer(server.pid());
  EXPECT_TRUE(rows[1].passed) << "the filter stays: " << rows[1].detail;
  if (rows[0].passed) GTEST_SKIP() << "this machine has no network device but loopback";
  EXPECT_TRUE(has(rows[0].detail, "Not in a network namespace of its own")) << rows[0].detail;
}

}  // namespace
}  // namespace caskel::test
