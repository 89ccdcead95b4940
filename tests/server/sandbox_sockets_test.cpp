#include "server/sandbox_sockets.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "support/test_env.h"

namespace caskel {
namespace {

// The limit holds, a refused open leaves the control connection to its caller, and stopping
// removes every socket with its directory.
TEST(SandboxSockets, OpensUpToTheLimitAndStopRemovesEverySocket) {
  test::TempDir dir;
  SandboxSockets sockets(dir.path(), [](int fd, std::shared_ptr<const SandboxIdentity>) { ::close(fd); });
  std::vector<int> ours;
  std::vector<std::string> paths;
  std::string error;
  for (size_t i = 0; i <= SandboxSockets::kMaxOpen; ++i) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ours.push_back(pair[0]);
    std::string answered;
    auto path = sockets.open(
        pair[1], SandboxIdentity{"claude", "/p", 1, 1},
        [&](const std::string& p) { return answered = p, true; }, error);
    if (i < SandboxSockets::kMaxOpen) {
      ASSERT_TRUE(path) << error;
      EXPECT_EQ(*path, answered);
      EXPECT_EQ(test::modeOf(*path) & 0777, 0600);
      paths.push_back(*path);
    } else {
      EXPECT_FALSE(path);
      EXPECT_NE(error.find("Too many sandboxes"), std::string::npos);
      EXPECT_TRUE(answered.empty());
      ::close(pair[1]);  // still ours
    }
  }
  EXPECT_EQ(sockets.openCount(), SandboxSockets::kMaxOpen);
  sockets.stop();
  for (const auto& path : paths) EXPECT_LT(test::modeOf(path.substr(0, path.rfind('/'))), 0) << path;
  // The control connections were closed: our ends read the end of the stream.
  char byte;
  for (int fd : ours) {
    EXPECT_EQ(::read(fd, &byte, 1), 0);
    ::close(fd);
  }
}

}  // namespace
}  // namespace caskel
