#include "platform/process_info.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "platform/process_hardening.h"

namespace caskel {
namespace {

// 52 fields as the kernel writes them; the name holds spaces and both parentheses.
const std::string kStatLine =
    "4711 (my (odd) ) name) S 1234 4711 4711 34817 4711 4194304 100 0 0 0 5 3 0 0 20 0 1 0 "
    "987654 1000000 500 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0 0 0 0 0 0 0 0 0\n";

TEST(ParseProcStat, ReadsFieldsAfterTheLastParenthesisAndRefusesMalformedText) {
  auto rec = parseProcStat(kStatLine, 1'700'000'000.0, 100);
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->pid, 4711);
  EXPECT_EQ(rec->command, "my (odd) ) name");
  EXPECT_EQ(rec->parentPid, 1234);
  EXPECT_EQ(rec->ttyNr, 34817);
  EXPECT_DOUBLE_EQ(rec->startTime, 1'700'000'000.0 + 9876.54);

  for (size_t n = 0; n + 1 < kStatLine.size(); ++n) {
    // Every prefix that ends before the starttime field must fail; none may crash.
    auto rec = parseProcStat(kStatLine.substr(0, n), 0, 100);
    if (n <= kStatLine.find(" 987654")) {
      EXPECT_FALSE(rec) << n;
    }
  }
  const std::string tail = " S 1 2 3 0 5 6 7 8 9 10 11 12 13 14 15 16 17 18 99\n";
  EXPECT_TRUE(parseProcStat("12 (x)" + tail, 0, 100));
  EXPECT_FALSE(parseProcStat("12 (x)" + tail, 0, 0));  // no clock ticks
  for (const std::string& bad : {"abc (x)" + tail, "0 (x)" + tail, "12 x)" + tail,
                                 std::string("12 (x)) S -1 2 3 0 5 6 7 8 9 10 11 12 13 14 15 16 17 18 99"),
                                 std::string("12 (x) S 1 2 3 tty 5 6 7 8 9 10 11 12 13 14 15 16 17 18 99")})
    EXPECT_FALSE(parseProcStat(bad, 0, 100)) << bad;
}

// Reading this process and real chains (executable, directory, parent, start time) is the caller
// chains' test; here, what they cannot show.
TEST(SystemProcessInfo, FollowsAChildThroughExecUntilItEnds) {
  ProcessInfo& procs = ProcessInfo::system();
  EXPECT_FALSE(procs.record(0) || procs.record(-1) || procs.executablePath(INT32_MAX));

  // Records are read through handles kept between calls: they must follow the process through
  // exec and let go of it once it is gone, or a reused pid would inherit its identity.
  int go[2], input[2], execDone[2];
  ASSERT_EQ(::pipe2(go, O_CLOEXEC) | ::pipe2(input, O_CLOEXEC) | ::pipe2(execDone, O_CLOEXEC), 0);
  const char* argv[] = {"/bin/sh", "-c", "read x; exit 0", "arg with space", "", nullptr};
  const char* envp[] = {"PATH=/usr/bin:/bin", "CASKEL_MARK_A=1", "OTHER=CASKEL_MARK_B=1", "CASKEL_MARK_AB=2",
                        nullptr};
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char b;
    if (::read(go[0], &b, 1) != 1) ::_exit(1);
    ::dup2(input[0], 0);
    ::execve(argv[0], const_cast<char**>(argv), const_cast<char**>(envp));
    ::_exit(127);
  }
  for (int fd : {go[0], input[0], execDone[1]}) ::close(fd);
  auto before = procs.record(child);
  ASSERT_TRUE(before);
  EXPECT_NE(before->command, "sh");

  ASSERT_EQ(::write(go[1], "x", 1), 1);
  char byte;
  ASSERT_EQ(::read(execDone[0], &byte, 1), 0);  // end of file: the child has exec'd
  auto after = procs.record(child);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->command, "sh");
  EXPECT_EQ(after->startTime, before->startTime);
  EXPECT_EQ(procs.commandLine(child),
            (std::vector<std::string>{"/bin/sh", "-c", "read x; exit 0", "arg with space", ""}));
  EXPECT_EQ(procs.environmentMarkers(child, {"CASKEL_MARK_A", "CASKEL_MARK_B"}),
            std::vector<std::string>{"CASKEL_MARK_A"});

  ::close(input[1]);
  ::waitpid(child, nullptr, 0);
  auto gone = procs.record(child);
  EXPECT_TRUE(!gone || gone->startTime != before->startTime);
  for (int fd : {go[1], execDone[0]}) ::close(fd);
}

// The filter is irreversible, so the checks run in a child process; its exit code says which
// expectation failed. A thread that runs before the process is hardened (a toolkit's event
// reader) must be held by the filter too. No new privileges for the main thread is the hardening
// end-to-end test's, read from the running server's status.
TEST(ProcessHardening, OnlyUnixSocketsNoDumpsAndNoNewPrivilegesForEveryThread) {
  pid_t child = ::fork();
  if (child == 0) {
    int go[2];
    if (::pipe(go) != 0) ::_exit(101);
    int early = 99;
    std::thread reader([&] {
      char c;
      if (::read(go[0], &c, 1) != 1) return;
      if (::socket(AF_INET, SOCK_STREAM, 0) >= 0) {
        early = 10;
      } else {
        early = ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1 ? 0 : 11;
      }
    });
    if (!hardenProcess().empty()) ::_exit(100);
    if (::write(go[1], "x", 1) != 1) ::_exit(102);
    reader.join();
    ::_exit([&] {
      int inet = ::socket(AF_INET, SOCK_STREAM, 0);
      if (inet >= 0 || errno != EAFNOSUPPORT) return 1;
      if (::socket(AF_INET6, SOCK_DGRAM, 0) >= 0) return 2;
      if (::socket(AF_NETLINK, SOCK_RAW, 0) >= 0) return 3;
      int pair[2];
      if (::socketpair(AF_INET, SOCK_STREAM, 0, pair) == 0) return 4;
      if (::socket(AF_UNIX, SOCK_STREAM, 0) < 0) return 5;
      if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 6;
      if (::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0) return 7;
      return early;
    }());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
}

}  // namespace
}  // namespace caskel
