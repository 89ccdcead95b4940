#include "platform/process_hardening.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace caskel {
namespace {

// The filter is irreversible, so the checks run in a child process; its exit code says which
// expectation failed. A thread that runs before the process is hardened (a toolkit's event
// reader) must be held by the filter too.
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
      if (::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1) return 8;
      return early;
    }());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
}

}  // namespace
}  // namespace caskel
