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

// The filter is irreversible, so each check runs in a child process; its exit code says
// which expectation failed.
int inHardenedChild(int (*check)()) {
  pid_t child = ::fork();
  if (child == 0) {
    if (!hardenProcess().empty()) ::_exit(100);
    ::_exit(check());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ProcessHardening, OnlyUnixSocketsNoDumpsAndNoNewPrivileges) {
  EXPECT_EQ(inHardenedChild([] {
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
              return 0;
            }),
            0);
}

// A thread that runs before the process is hardened (a toolkit's event reader) is held by the
// filter too.
TEST(ProcessHardening, ThreadsThatAlreadyRunAreCovered) {
  pid_t child = ::fork();
  if (child == 0) {
    int go[2];
    if (::pipe(go) != 0) ::_exit(101);
    int result = 99;
    std::thread early([&] {
      char c;
      if (::read(go[0], &c, 1) != 1) return;
      if (::socket(AF_INET, SOCK_STREAM, 0) >= 0) {
        result = 1;
      } else {
        result = ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1 ? 0 : 2;
      }
    });
    if (!hardenProcess().empty()) ::_exit(100);
    if (::write(go[1], "x", 1) != 1) ::_exit(102);
    early.join();
    ::_exit(result);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
}

}  // namespace
}  // namespace caskel
