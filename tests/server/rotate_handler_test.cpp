#include <future>

#include "handler_harness.h"

namespace caskel::test {
namespace {

constexpr const char* kBackup = "org/p/K_OLD";

TEST_F(HandlerTest, RotateBackupIsRemovedWhenItsLifetimeEnds) {
  std::promise<void> refreshed;
  services.refreshApplication = [&](std::shared_ptr<AuthContext>) { refreshed.set_value(); };
  services.backupLifetime = 0.01;
  put(kKey, "old-value-1");
  ASSERT_TRUE(ask({{"cmd", "rotate"}, {"account", kKey}, {"value", "new-value-2"}}).ok());
  // The reply's own refresh is the writer's business: only the removal calls it here.
  ASSERT_EQ(refreshed.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_FALSE(stored(kBackup));
  EXPECT_EQ(stored(kKey), "new-value-2");
}

}  // namespace
}  // namespace caskel::test
