#include "app/security_check.h"

#include <gtest/gtest.h>

#include <map>

namespace caskel {
namespace {

ChildResult printed(const std::string& output, int status = 0) {
  return ChildResult{true, false, status, output};
}
const ChildResult kRefused{};  // the program could not be started
const ChildResult kEmpty = printed("");

constexpr const char* kNetDevHeader =
    "Inter-|   Receive                            |  Transmit\n"
    " face |bytes    packets errs drop fifo frame|bytes    packets errs drop fifo\n";
const std::string kOnlyLoopback = std::string(kNetDevHeader) + "    lo:       0       0    0    0    0     0 0 0\n";
const std::string kHostNetwork = kOnlyLoopback + "  eth0: 3703229 4012    0    0    0     0 1 0\n";
constexpr const char* kTcpHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
const std::string kOneConnection =
    std::string(kTcpHeader) + "   0: 0100007F:0277 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 1\n";

struct RuleCase {
  const char* name;
  CheckOutcome (*rule)(const ChildResult&);
  ChildResult output;
  CheckOutcome expected;
};

TEST(SecurityCheckRules, EachRowDecidesFromWhatItsToolPrinted) {
  const CheckOutcome noDevices{false, "Could not read the server's network devices"};
  const CheckOutcome noSockets{false, "Could not read the server's sockets"};
  const RuleCase cases[] = {
      {"namespaced: only lo", SecurityCheck::networkDevices, printed(kOnlyLoopback),
       {true, "Only the loopback device — no route to any network"}},
      {"host namespace", SecurityCheck::networkDevices, printed(kHostNetwork),
       {false, "Not in a network namespace of its own — can reach the network through eth0"}},
      {"net/dev refused", SecurityCheck::networkDevices, kRefused, noDevices},
      {"net/dev empty", SecurityCheck::networkDevices, kEmpty, noDevices},
      {"net/dev headers only", SecurityCheck::networkDevices, printed(kNetDevHeader), noDevices},
      {"filtered", SecurityCheck::sandbox, printed("NoNewPrivs:\t1\nSeccomp:\t2\n"),
       {true, "Runs under a kernel filter that allows local sockets only"}},
      {"strict mode is not the filter", SecurityCheck::sandbox, printed("NoNewPrivs:\t1\nSeccomp:\t1\n"),
       {false, "Not sandboxed"}},
      {"new privileges allowed", SecurityCheck::sandbox, printed("NoNewPrivs:\t0\nSeccomp:\t2\n"),
       {false, "Not sandboxed"}},
      {"status refused", SecurityCheck::sandbox, kRefused, {false, "Not sandboxed"}},
      {"status empty", SecurityCheck::sandbox, kEmpty, {false, "Not sandboxed"}},
      {"no sockets", SecurityCheck::connections, printed(std::string(kTcpHeader) + kTcpHeader),
       {true, "No open network sockets"}},
      {"one socket", SecurityCheck::connections, printed(kOneConnection), {false, "1 connection(s) found"}},
      {"sockets refused", SecurityCheck::connections, kRefused, noSockets},
      {"sockets empty", SecurityCheck::connections, kEmpty, noSockets},
  };
  for (const RuleCase& c : cases) EXPECT_EQ(c.rule(c.output), c.expected) << c.name;
}

TEST(SecurityCheckRules, PackageIntegrityNeedsOwnershipAndAnUnchangedPackage) {
  const ChildResult owned = printed("caskel: /usr/bin/caskel-app\n");
  const ChildResult notOwned = printed("dpkg-query: no path found matching pattern /home/me/build/caskel-app\n", 1);
  EXPECT_EQ(SecurityCheck::packageIntegrity(owned, kEmpty), (CheckOutcome{true, "Every file matches the caskel package"}));
  EXPECT_EQ(SecurityCheck::packageIntegrity(notOwned, kEmpty).detail, "Development build");
  EXPECT_EQ(SecurityCheck::packageIntegrity(kRefused, kRefused).detail, "Development build");
  EXPECT_EQ(SecurityCheck::packageIntegrity(owned, printed("??5??????   /usr/bin/caskeld\n", 1)),
            (CheckOutcome{false, "1 package file(s) changed since installation"}));
  EXPECT_FALSE(SecurityCheck::packageIntegrity(owned, printed("", 2)).passed);
}

TEST(SecurityCheckRules, RepositoryNeedsAnOriginBesidesTheStatusFile) {
  const std::string fromRepository =
      "caskel:\n  Installed: 1.2-1\n  Candidate: 1.2-1\n  Version table:\n"
      "     1.3-1 500\n        500 http://deb.example.org bookworm/main amd64 Packages\n"
      " *** 1.2-1 500\n        500 http://deb.example.org bookworm/main amd64 Packages\n"
      "        100 /var/lib/dpkg/status\n";
  const std::string localFile = "caskel:\n  Installed: 1.2-1\n  Candidate: 1.2-1\n  Version table:\n"
                                " *** 1.2-1 100\n        100 /var/lib/dpkg/status\n"
                                "     1.1-1 500\n        500 http://deb.example.org bookworm/main amd64 Packages\n";
  const std::string notInstalled = "caskel:\n  Installed: (none)\n  Candidate: 1.2-1\n";
  EXPECT_EQ(SecurityCheck::repository(printed(fromRepository)),
            (CheckOutcome{true, "From http://deb.example.org bookworm/main amd64 Packages"}));
  EXPECT_EQ(SecurityCheck::repository(printed(localFile)).detail, "Installed from a local file, not from a repository");
  for (const ChildResult& none : {printed(notInstalled), kEmpty, kRefused})
    EXPECT_EQ(SecurityCheck::repository(none), (CheckOutcome{false, "Not installed from a package"}));
}

TEST(SecurityCheckRules, ServerPidIsTheFirstLineWhenItIsANumber) {
  EXPECT_EQ(SecurityCheck::serverPid(printed("4242\n")), 4242);
  for (const ChildResult& none : {kRefused, kEmpty, printed("", 1), printed("12x\n"), printed("-3\n")})
    EXPECT_EQ(SecurityCheck::serverPid(none), std::nullopt);
}

// A runner that answers from a table keyed by the command line, and records what ran.
struct ScriptedTools {
  std::map<std::string, ChildResult> answers;
  std::vector<std::string> ran;
  ToolRunner runner() {
    return [this](const std::string& program, const std::vector<std::string>& args) {
      std::string line = program;
      for (const auto& a : args) line += " " + a;
      ran.push_back(line);
      auto it = answers.find(line);
      return it == answers.end() ? ChildResult{} : it->second;
    };
  }
};

std::vector<std::pair<size_t, CheckOutcome>> runAll(ScriptedTools& tools) {
  std::vector<std::pair<size_t, CheckOutcome>> published;
  SecurityCheck(tools.runner(), "/usr/bin/caskel-app").run([&](size_t row, const CheckOutcome& o) {
    published.emplace_back(row, o);
  });
  return published;
}

TEST(SecurityCheckRun, LooksAtTheAppBeforeCaskeldAndPublishesRowsInOrder) {
  ScriptedTools tools;
  tools.answers = {{"pgrep -xo caskel-app", printed("77\n")},
                   {"pgrep -xo caskeld", printed("99\n")},
                   {"cat /proc/77/net/dev", printed(kOnlyLoopback)},
                   {"grep -E ^(NoNewPrivs|Seccomp): /proc/77/status", printed("NoNewPrivs:\t1\nSeccomp:\t2\n")},
                   {"cat /proc/77/net/tcp /proc/77/net/tcp6 /proc/77/net/udp /proc/77/net/udp6", printed(kTcpHeader)}};
  auto published = runAll(tools);
  ASSERT_EQ(published.size(), SecurityCheck::kCount);
  std::vector<VerifyCheck> rows = SecurityCheck::initialRows();
  for (size_t i = 0; i < published.size(); ++i) {
    EXPECT_EQ(published[i].first, i);
    rows[i].passed = published[i].second.passed;
  }
  EXPECT_EQ(tools.ran.front(), "pgrep -xo caskel-app");
  EXPECT_EQ(tools.ran[3], "dpkg -S /usr/bin/caskel-app");
  // A development build without a repository still passes: rows 2 and 3 only inform.
  EXPECT_FALSE(rows[2].passed || rows[3].passed);
  EXPECT_TRUE(SecurityCheck::verdict(rows));
  rows[0].passed = false;
  EXPECT_FALSE(SecurityCheck::verdict(rows));
}

TEST(SecurityCheckRun, WithNoServerTheLiveChecksAreSkippedAndPass) {
  ScriptedTools tools;  // pgrep finds nothing
  auto published = runAll(tools);
  ASSERT_EQ(published.size(), SecurityCheck::kCount);
  for (size_t row : {0, 1, 4}) {
    EXPECT_EQ(published[row].second, (CheckOutcome{true, SecurityCheck::kNotRunning})) << row;
  }
  for (const std::string& line : tools.ran) EXPECT_EQ(line.find("/proc/"), std::string::npos) << line;
}

}  // namespace
}  // namespace caskel
