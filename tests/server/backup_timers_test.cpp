#include "server/backup_timers.h"

#include <gtest/gtest.h>

#include <vector>

namespace caskel {
namespace {

// A queue whose delayed tasks run only when the test says so.
class ManualQueue : public TaskQueue {
 public:
  void post(Task task) override { postAfter({}, std::move(task)); }
  TaskHandle postAfter(Duration, Task task) override {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    tasks.push_back({std::move(task), TaskHandle(cancelled)});
    return tasks.back().handle;
  }
  void runAll() {
    auto due = std::move(tasks);
    tasks.clear();
    for (auto& t : due) {
      if (!t.handle.isCancelled()) t.task();
    }
  }
  struct Entry {
    Task task;
    TaskHandle handle;
  };
  std::vector<Entry> tasks;
};

TEST(BackupTimers, NewerBackupOfTheSameKeyCancelsTheOlderTimer) {
  ManualQueue queue;
  BackupTimers timers;
  std::vector<std::string> removed;
  timers.schedule(queue, "org/K_OLD", 3600, [&] { removed.push_back("first"); });
  timers.schedule(queue, "org/K_OLD", 3600, [&] { removed.push_back("second"); });
  ASSERT_EQ(queue.tasks.size(), 2u);
  EXPECT_TRUE(queue.tasks[0].handle.isCancelled());
  EXPECT_FALSE(queue.tasks[1].handle.isCancelled());
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
  auto stale = std::move(queue.tasks[0].task);
  queue.tasks.clear();
  timers.schedule(queue, "org/K_OLD", 1, [&] { removed.push_back("second"); });
  stale();
  EXPECT_TRUE(removed.empty());
  queue.runAll();
  EXPECT_EQ(removed, std::vector<std::string>{"second"});
}

}  // namespace
}  // namespace caskel
