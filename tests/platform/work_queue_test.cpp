#include "platform/work_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

namespace caskel {
namespace {

using namespace std::chrono_literals;

// Each post wakes a single waiting thread: tasks that can only finish together prove that
// every post reached a thread of its own and none was lost.
TEST(WorkQueue, APoolRunsAsManyTasksAtOnceAsItHasThreads) {
  constexpr int kThreads = 4;
  WorkQueue pool("test.pool", kThreads);
  std::mutex m;
  std::condition_variable cv;
  int arrived = 0;
  std::atomic<int> together{0};
  for (int round = 0; round < 50; ++round) {
    std::vector<std::future<void>> done;
    for (int i = 0; i < kThreads; ++i) {
      auto finished = std::make_shared<std::promise<void>>();
      done.push_back(finished->get_future());
      pool.post([&, round, finished] {
        std::unique_lock lock(m);
        ++arrived;
        cv.notify_all();
        if (cv.wait_for(lock, 10s, [&] { return arrived >= kThreads * (round + 1); })) ++together;
        finished->set_value();
      });
    }
    for (auto& f : done) ASSERT_EQ(f.wait_for(20s), std::future_status::ready);
  }
  EXPECT_EQ(together.load(), 50 * kThreads);
}

// Deadlines already past, posted while the queue is blocked: order comes from them alone. A task
// for now is not held behind a later deadline, and shutting down drops what is not due.
TEST(WorkQueue, DueTasksRunInDeadlineOrderAndCancelledOrLaterOnesNever) {
  WorkQueue queue("test.serial");
  std::mutex m;
  std::vector<int> order;
  auto record = [&](int n) {
    return [&, n] {
      std::lock_guard lock(m);
      order.push_back(n);
    };
  };
  std::promise<void> release;
  std::promise<void> blocked;
  auto gate = release.get_future().share();
  queue.post([gate, &blocked] {
    blocked.set_value();
    gate.wait();
  });
  blocked.get_future().wait();
  queue.postAfter(1h, record(100));
  queue.postAfter(-10ms, record(3));
  TaskHandle cancelled = queue.postAfter(-25ms, record(99));
  queue.postAfter(-20ms, record(2));
  queue.postAfter(-30ms, record(1));
  cancelled.cancel();
  release.set_value();
  queue.sync([] {});  // the queue now waits for the hour-long deadline
  std::promise<void> ran;
  queue.post([&] { ran.set_value(); });
  EXPECT_EQ(ran.get_future().wait_for(10s), std::future_status::ready);
  queue.shutdown();
  std::lock_guard lock(m);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace caskel
