// The self-check against the real caskeld: in its own network namespace it passes the checks
// that decide, and without the namespace the network check fails.
#include "app/security_check.h"

#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "e2e/caskeld_process.h"
#include "platform/child_process.h"

namespace caskel::test {
namespace {

// The system's tools, except that the server is the one this test started (other servers may
// run on the machine, and pgrep would pick the oldest).
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

size_t hostDevices() {
  std::istringstream text(readText("/proc/self/net/dev"));
  size_t count = 0;
  for (std::string line; std::getline(text, line);) {
    if (line.find(':') != std::string::npos && line.find('|') == std::string::npos) ++count;
  }
  return count;
}

class SecurityCheckTest : public ToolFixture {};

TEST_F(SecurityCheckTest, TheNamespacedServerPassesTheDecidingChecks) {
  const auto rows = checkServer(server.pid());
  EXPECT_EQ(rows[0], (CheckOutcome{true, "Only the loopback device — no route to any network"}));
  EXPECT_TRUE(rows[1].passed) << rows[1].detail;
  EXPECT_EQ(rows[4], (CheckOutcome{true, "No open network sockets"}));
  EXPECT_EQ(rows[2].detail, "Development build");
  EXPECT_FALSE(has(server.output(), "Caskel: no network namespace")) << server.output();
  // Callers are still told apart inside: a plain client is served, an agent's is refused the value.
  put("acme/api/KEY", "value-1");
  EXPECT_TRUE(printed(caskel({"get", "acme/api/KEY", "--raw"}), "value-1"));
  EXPECT_FALSE(printed(agentCaskel({"get", "acme/api/KEY", "--raw"}), "value-1"));
}

TEST_F(SecurityCheckTest, VerifyPrintsTheCommandsForTheRunningServer) {
  const ProcessResult verify = caskel({"verify"});
  const std::string pid = std::to_string(server.pid());
  for (const std::string& command : std::vector<std::string>{
           "cat /proc/" + pid + "/net/dev", "grep -E '^(NoNewPrivs|Seccomp):' /proc/" + pid + "/status",
        "dpkg --verify caskel", "apt-cache policy caskel",
        "cat /proc/" + pid + "/net/tcp /proc/" + pid + "/net/tcp6 /proc/" + pid + "/net/udp /proc/" + pid +
            "/net/udp6"}) {
    EXPECT_TRUE(printed(verify, command)) << command;
  }
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

class WithoutNamespaceTest : public ToolFixture {
 protected:
  WithoutNamespaceTest() : ToolFixture([](auto& o) { o.extraEnv["CASKEL_NO_NETNS"] = "1"; }) {}
};

TEST_F(WithoutNamespaceTest, TheNetworkCheckFailsAndTheServerSaysWhy) {
  EXPECT_TRUE(has(server.output(), "Caskel: no network namespace of its own (turned off by CASKEL_NO_NETNS)"))
      << server.output();
  const auto rows = checkServer(server.pid());
  EXPECT_TRUE(rows[1].passed) << "the filter stays: " << rows[1].detail;
  if (hostDevices() <= 1) GTEST_SKIP() << "this machine has no network device but loopback";
  EXPECT_FALSE(rows[0].passed);
  EXPECT_TRUE(has(rows[0].detail, "Not in a network namespace of its own")) << rows[0].detail;
}

}  // namespace
}  // namespace caskel::test
