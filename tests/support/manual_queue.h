#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "platform/work_queue.h"

namespace caskel::test {

// A main queue (or timer queue) that runs nothing by itself: the test sees what was posted,
// with which delay, and drains it when it chooses. Any thread may post; drain on one.
class ManualQueue : public TaskQueue {
 public:
  struct Entry {
    double delay = 0;  // seconds
    Task task;         // empty in the copies pending() hands out
    TaskHandle handle;
  };

  void post(Task task) override;
  TaskHandle postAfter(Duration delay, Task task) override;

  // Runs the tasks posted without delay, in order, and those they post; cancelled ones are skipped.
  void runReady();
  // The same, delayed tasks included.
  void runAll();
  // What waits to run, in posting order, without the tasks themselves.
  std::vector<Entry> pending() const;
  // Only the delayed ones.
  std::vector<Entry> delayed() const;
  // Removes the oldest task and hands it over, to run it out of turn (or not at all).
  Task takeFirst();

 private:
  void run(bool includeDelayed);
  mutable std::mutex mutex_;
  std::deque<Entry> entries_;
};

}  // namespace caskel::test
