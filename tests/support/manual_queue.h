#pragma once

#include <algorithm>
#include <deque>
#include <vector>

#include "platform/work_queue.h"
#include "support/test_env.h"

namespace caskel::test {

// A main queue (or timer queue) that runs nothing by itself: the test sees what was posted,
// with which delay, and drains it when it chooses. Any thread may post; drain on one.
class ManualQueue : public TaskQueue, Guarded {
 public:
  struct Entry {
    double delay = 0;  // seconds
    Task task;         // empty in the copies pending() hands out
    TaskHandle handle;
  };

  void post(Task task) override { postAfter(Duration::zero(), std::move(task)); }
  TaskHandle postAfter(Duration delay, Task task) override {
    TaskHandle handle(std::make_shared<std::atomic<bool>>(false));
    locked([&] {
      entries_.push_back({std::chrono::duration<double>(delay).count(), std::move(task), handle});
    });
    return handle;
  }
  // Runs the tasks posted without delay, in order, and those they post; cancelled ones are skipped.
  void runReady() { run(false); }
  // The same, delayed tasks included.
  void runAll() { run(true); }
  // What waits to run (all, or only the delayed), in posting order, without the tasks themselves.
  std::vector<Entry> pending() const { return copies(false); }
  std::vector<Entry> delayed() const { return copies(true); }
  // Removes the oldest task and hands it over, to run it out of turn (or not at all).
  Task takeFirst() {
    std::lock_guard lock(mutex_);
    if (entries_.empty()) return nullptr;
    Task task = std::move(entries_.front().task);
    entries_.pop_front();
    return task;
  }

 private:
  void run(bool includeDelayed) {
    for (;;) {
      Entry entry;
      {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const Entry& e) { return includeDelayed || e.delay <= 0; });
        if (it == entries_.end()) return;
        entry = std::move(*it);
        entries_.erase(it);
      }
      // Unlocked: the task may post more.
      if (!entry.handle.isCancelled()) entry.task();
    }
  }
  std::vector<Entry> copies(bool delayedOnly) const {
    std::lock_guard lock(mutex_);
    std::vector<Entry> out;
    for (const auto& e : entries_) {
      if (!delayedOnly || e.delay > 0) out.push_back({e.delay, nullptr, e.handle});
    }
    return out;
  }
  std::deque<Entry> entries_;
};

}  // namespace caskel::test
