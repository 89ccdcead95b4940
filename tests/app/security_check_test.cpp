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

const std::string kOnlyLoopback = "Inter-|   Receive |  Transmit\n face |bytes packets|bytes packets\n    lo: 0 0 0 0\n";
const std::string kTcpHeader = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n";

TEST(SecurityCheckRules, EachRowDecidesFromWhatItsToolPrinted) {
  const CheckOutcome noDevices{false, "Could not read the server's network devices"};
  const CheckOutcome noSockets{false, "Could not read the server's sockets"};
  const CheckOutcome unsandboxed{false, "Not sandboxed"};
  const CheckOutcome notInstalled{false, "Not installed from a package"};
  const struct {
    CheckOutcome (*rule)(const ChildResult&);
    ChildResult output;
    CheckOutcome expected;
  } cases[] = {
      {SecurityCheck::networkDevices, printed(kOnlyLoopback), {true, "Only the loopback device — no route to any network"}},
      {SecurityCheck::networkDevices, printed(kOnlyLoopback + "  eth0: 3703229 4012 0 0\n"),
       {false, "Not in a network namespace of its own — can reach the network through eth0"}},
      {SecurityCheck::networkDevices, kRefused, noDevices},
      {SecurityCheck::networkDevices, kEmpty, noDevices},
      {SecurityCheck::sandbox, printed("NoNewPrivs:\t1\nSeccomp:\t2\n"),
       {true, "Runs under a kernel filter that allows local sockets only"}},
      {SecurityCheck::sandbox, printed("NoNewPrivs:\t1\nSeccomp:\t1\n"), unsandboxed},  // strict mode
      {SecurityCheck::sandbox, kRefused, unsandboxed},
      {SecurityCheck::connections, printed(kTcpHeader + kTcpHeader), {true, "No open network sockets"}},
      {SecurityCheck::connections, printed(kTcpHeader + "   0: 0100007F:0277 00000000:0000 0A 00000000:00000000\n"),
       {false, "1 connection(s) found"}},
      {SecurityCheck::connections, kRefused, noSockets},
      {SecurityCheck::connections, kEmpty, noSockets},
      // The installed version (***) must come from a repository; an older version's does not count.
      {SecurityCheck::repository,
       printed("caskel:\n  Installed: 1.2-1\n  Version table:\n     1.3-1 500\n        500 http://deb.example.org "
               "bookworm/main amd64 Packages\n *** 1.2-1 500\n        500 http://deb.example.org bookworm/main "
               "amd64 Packages\n        100 /var/lib/dpkg/status\n"),
       {true, "From http://deb.example.org bookworm/main amd64 Packages"}},
      {SecurityCheck::repository,
       printed("  Installed: 1.2-1\n *** 1.2-1 100\n        100 /var/lib/dpkg/status\n     1.1-1 500\n"
               "        500 http://deb.example.org bookworm/main amd64 Packages\n"),
       {false, "Installed from a local file, not from a repository"}},
      {SecurityCheck::repository, printed("caskel:\n  Installed: (none)\n"), notInstalled},
      {SecurityCheck::repository, kRefused, notInstalled},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].rule(cases[i].output), cases[i].expected) << i;
}

TEST(SecurityCheckRules, PackageIntegrityNeedsOwnershipAndAnUnchangedPackage) {
  const ChildResult owned = printed("caskel: /usr/bin/caskel-app\n");
  const ChildResult notOwned = printed("dpkg-query: no path found matching pattern /home/me/build/caskel-app\n", 1);
  EXPECT_EQ(SecurityCheck::packageIntegrity(owned, kEmpty), (CheckOutcome{true, "Every file matches the caskel package"}));
  EXPECT_EQ(SecurityCheck::packageIntegrity(notOwned, kEmpty).detail, "Development build");
  EXPECT_TRUE(SecurityCheck::packageIntegrity(printed("caskel-desktop: /usr/bin/caskel-app\n"), kEmpty).passed);
  EXPECT_FALSE(SecurityCheck::packageIntegrity(printed("caskel-desktop-extra: /usr/bin/caskel-app\n"), kEmpty).passed);
  // dpkg -S names a diverting package on a line of its own, which does not own the file.
  EXPECT_FALSE(
      SecurityCheck::packageIntegrity(printed("diversion by caskel from: /usr/bin/caskel-app\n"), kEmpty).passed);
  EXPECT_EQ(SecurityCheck::packageIntegrity(kRefused, kRefused).detail, "Development build");
  EXPECT_EQ(SecurityCheck::packageIntegrity(owned, printed("??5??????   /usr/bin/caskeld\n", 1)),
            (CheckOutcome{false, "1 package file(s) changed since installation"}));
  EXPECT_FALSE(SecurityCheck::packageIntegrity(owned, printed("", 2)).passed);
}

// The tools answer from a table keyed by the command line; what ran is recorded.
TEST(SecurityCheckRun, LooksAtTheAppBeforeCaskeldPublishesRowsInOrderAndSkipsWithoutAServer) {
  std::map<std::string, ChildResult> answers = {
      {"pgrep -xo caskel-app", printed("77\n")},
      {"pgrep -xo caskeld", printed("99\n")},
      {"cat /proc/77/net/dev", printed(kOnlyLoopback)},
      {"grep -E ^(NoNewPrivs|Seccomp): /proc/77/status", printed("NoNewPrivs:\t1\nSeccomp:\t2\n")},
      {"cat /proc/77/net/tcp /proc/77/net/tcp6 /proc/77/net/udp /proc/77/net/udp6", printed(kTcpHeader)}};
  std::vector<std::string> ran;
  auto runAll = [&](bool appHostsServer = true) {
    ran.clear();
    std::vector<VerifyCheck> rows = SecurityCheck::initialRows();
    size_t next = 0;
    ToolRunner runner = [&](const std::string& program, const std::vector<std::string>& args) {
      std::string line = program;
      for (const auto& a : args) line += " " + a;
      ran.push_back(line);
      auto it = answers.find(line);
      return it == answers.end() ? ChildResult{} : it->second;
    };
    SecurityCheck(runner, "/usr/bin/caskel-app", appHostsServer).run([&](size_t row, const CheckOutcome& o) {
      EXPECT_EQ(row, next++);
      rows[row].passed = o.passed;
      rows[row].detail = o.detail;
    });
    EXPECT_EQ(next, SecurityCheck::kCount);
    return rows;
  };
  std::vector<VerifyCheck> rows = runAll();
  EXPECT_EQ(ran.front(), "pgrep -xo caskel-app");
  EXPECT_EQ(ran[3], "dpkg -S /usr/bin/caskel-app");
  // A development build without a repository still passes: rows 2 and 3 only inform.
  EXPECT_FALSE(rows[2].passed || rows[3].passed);
  EXPECT_TRUE(SecurityCheck::verdict(rows));
  rows[0].passed = false;
  EXPECT_FALSE(SecurityCheck::verdict(rows));

  // An app without a server of its own is not what is checked: caskeld is.
  runAll(false);
  EXPECT_EQ(ran.front(), "pgrep -xo caskeld");
  EXPECT_EQ(ran[1], "cat /proc/99/net/dev");

  answers.erase("pgrep -xo caskel-app");
  answers.erase("pgrep -xo caskeld");
  rows = runAll();
  for (size_t row : {0, 1, 4}) EXPECT_EQ(rows[row].detail, SecurityCheck::kNotRunning) << row;
  EXPECT_TRUE(SecurityCheck::verdict(rows));
  for (const std::string& line : ran) EXPECT_EQ(line.find("/proc/"), std::string::npos) << line;

  // Installed from caskel-desktop: that package is verified as well as caskel.
  answers["dpkg -S /usr/bin/caskel-app"] = printed("caskel-desktop: /usr/bin/caskel-app\n");
  answers["dpkg --verify caskel"] = kEmpty;
  answers["dpkg --verify caskel-desktop"] = printed("??5??????   /usr/bin/caskel-app\n", 1);
  EXPECT_EQ(runAll()[2].detail, "1 package file(s) changed since installation");
  answers["dpkg --verify caskel-desktop"] = kEmpty;
  EXPECT_TRUE(runAll()[2].passed);
  answers.erase("dpkg --verify caskel-desktop");  // dpkg could not be asked
  EXPECT_FALSE(runAll()[2].passed);
}

}  // namespace
}  // namespace caskel
