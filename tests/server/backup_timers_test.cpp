#include "server/backup_timers.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/manual_queue.h"

namespace caskel {
namespace {

using test::ManualQueue;

TEST(BackupTimers, NewerBackupOfTheSameKeyCancelsTheOlderTimer) {
  ManualQueue queue;
  BackupTimers timers;
  std::vector<std::string> removed;
  timers.schedule(queue, "org/K_OLD", 3600, [&] { removed.push_back("first"); });
  timers.schedule(queue, "org/K_OLD", 3600, [&] { removed.push_back("second"); });
  auto pending = queue.pending();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_TRUE(pending[0].handle.isCancelled());
  EXPECT_FALSE(pending[1].handle.isCancelled());
  queue.runAll();
  EXPECT_EQ(removed, std::vector<std::string>{"second"});
  EXPECT_EQ(timers.pending(), 0u);
}

TEST(BackupTimers, DifferentKeysKeepTheirOwnTimers) {
  ManualQueue queue;
  BackupTimers timers;
  int removals = 0;
  timers.schedule(queue, "org/A_OLD", 1, [&] { ++removals; });
  timers.schedule(queue, "org/B_OLD", 1, [&] { ++removals; });
  EXPECT_EQ(timers.pending(), 2u);
  queue.runAll();
  EXPECT_EQ(removals, 2);
}

TEST(BackupTimers, AStaleTimerThatRunsAnywayRemovesNothing) {
  // A timer already running when a newer backup is made cannot be cancelled; it must not
  // remove the newer backup.
  ManualQueue queue;
  BackupTimers timers;
  std::vector<std::string> removed;
  timers.schedule(queue, "org/K_OLD", 1, [&] { removed.push_back("first"); });
  auto stale = queue.takeFirst();
  timers.schedule(queue, "org/K_OLD", 1, [&] { removed.push_back("second"); });
  stale();
  EXPECT_TRUE(removed.empty());
  queue.runAll();
  EXPECT_EQ(removed, std::vector<std::string>{"second"});
}

}  // namespace
}  // namespace caskel
