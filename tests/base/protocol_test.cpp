#include "base/protocol.h"

#include <gtest/gtest.h>

namespace caskel::protocol {
namespace {

// Server and tool find each other through this path: an empty override must not become "".
TEST(Protocol, SocketPathDefaultsPerUserUnlessNamed) {
  EXPECT_EQ(defaultSocketPath(nullptr, 1000), "/tmp/caskel-sock-1000/caskel.sock");
  EXPECT_EQ(defaultSocketPath("", 1000), "/tmp/caskel-sock-1000/caskel.sock");
  EXPECT_EQ(defaultSocketPath("/run/x.sock", 1000), "/run/x.sock");
  EXPECT_EQ(socketDirectory(0), "/tmp/caskel-sock-0");
}

}  // namespace
}  // namespace caskel::protocol
