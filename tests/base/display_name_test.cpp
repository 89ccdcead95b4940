#include "base/display_name.h"

#include <gtest/gtest.h>

namespace caskel {
namespace {

TEST(DisplayName, NetworkDisplaysAreThoseWithAHost) {
  const struct {
    const char* display;
    bool remote;
  } cases[] = {{":0", false},
               {":1.0", false},
               {"unix:0", false},
               {"", false},
               {"/tmp/.X11-unix/X0:0", false},
               {"localhost:10.0", true},
               {"host.example:0", true},
               {"[::1]:0", true},
               {"10.0.0.2:1", true}};
  for (const auto& c : cases) EXPECT_EQ(displayReachedOverNetwork(c.display), c.remote) << c.display;
}

}  // namespace
}  // namespace caskel
