#include "server/backup_timers.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/manual_queue.h"

namespace caskel {
namespace {

class BackupTimersTest : public ::testing::Test {
 protected:
  void schedule(const std::string& key, const std::string& name) {
    timers.schedule(queue, key, 3600, [this, name] { removed.push_back(name); });
  }
  test::ManualQueue queue;
  BackupTimers timers;
  std::vector<std::string> removed;
};

TEST_F(BackupTimersTest, NewerBackupOfTheSameKeyCancelsTheOlderTimerButNotOtherKeys) {
  schedule("org/K_OLD", "first");
  schedule("org/B_OLD", "other key");
  schedule("org/K_OLD", "second");
  EXPECT_EQ(timers.pending(), 2u);
  auto pending = queue.pending();
  ASSERT_EQ(pending.size(), 3u);
  EXPECT_TRUE(pending[0].handle.isCancelled());
  EXPECT_FALSE(pending[1].handle.isCancelled());
  EXPECT_FALSE(pending[2].handle.isCancelled());
  queue.runAll();
  EXPECT_EQ(removed, (std::vector<std::string>{"other key", "second"}));
  EXPECT_EQ(timers.pending(), 0u);
}

// A timer already running when a newer backup is made cannot be cancelled; it must not remove
// the newer backup.
TEST_F(BackupTimersTest, AStaleTimerThatRunsAnywayRemovesNothing) {
  schedule("org/K_OLD", "first");
  auto stale = queue.takeFirst();
  schedule("org/K_OLD", "second");
  stale();
  EXPECT_TRUE(removed.empty());
  queue.runAll();
  EXPECT_EQ(removed, std::vector<std::string>{"second"});
}

}  // namespace
}  // namespace caskel
