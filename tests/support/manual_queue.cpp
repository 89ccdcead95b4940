#include "support/manual_queue.h"

#include <algorithm>

namespace caskel::test {

void ManualQueue::post(Task task) { postAfter(Duration::zero(), std::move(task)); }

TaskHandle ManualQueue::postAfter(Duration delay, Task task) {
  TaskHandle handle(std::make_shared<std::atomic<bool>>(false));
  std::lock_guard lock(mutex_);
  entries_.push_back({std::chrono::duration<double>(delay).count(), std::move(task), handle});
  return handle;
}

void ManualQueue::runReady() { run(false); }

void ManualQueue::runAll() { run(true); }

void ManualQueue::run(bool includeDelayed) {
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

std::vector<ManualQueue::Entry> ManualQueue::pending() const {
  std::lock_guard lock(mutex_);
  std::vector<Entry> out;
  for (const auto& e : entries_) out.push_back({e.delay, nullptr, e.handle});
  return out;
}

std::vector<ManualQueue::Entry> ManualQueue::delayed() const {
  std::vector<Entry> out = pending();
  std::erase_if(out, [](const Entry& e) { return e.delay <= 0; });
  return out;
}

TaskQueue::Task ManualQueue::takeFirst() {
  std::lock_guard lock(mutex_);
  if (entries_.empty()) return nullptr;
  Task task = std::move(entries_.front().task);
  entries_.pop_front();
  return task;
}

}  // namespace caskel::test
