#include "base/instance_protocol.h"

#include <gtest/gtest.h>

namespace caskel {
namespace {

TEST(InstanceProtocol, SocketSitsBesideTheServerSocket) {
  const struct {
    const char* server;
    const char* expected;
  } cases[] = {{"/tmp/caskel-sock-1000/caskel.sock", "/tmp/caskel-sock-1000/caskel-app.sock"},
               {"/run/user/1000/c/other.sock", "/run/user/1000/c/caskel-app.sock"},
               {"/top.sock", "/caskel-app.sock"},
               {"relative.sock", "./caskel-app.sock"},
               {"dir/s.sock", "dir/caskel-app.sock"}};
  for (const auto& c : cases) EXPECT_EQ(instance::socketPath(c.server), c.expected) << c.server;
}

TEST(InstanceProtocol, OnlyExactCommandsAreAccepted) {
  EXPECT_EQ(instance::parseCommand("show"), instance::Command::show);
  for (const char* line : {"", "Show", "show ", " show", "show\n", "show\r", "quit", "showx"})
    EXPECT_EQ(instance::parseCommand(line), std::nullopt) << line;
}

}  // namespace
}  // namespace caskel
