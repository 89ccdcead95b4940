#include "server/backup_timers.h"

namespace caskel {

BackupTimers::~BackupTimers() {
  std::lock_guard lock(mutex_);
  for (auto& [key, timer] : timers_) timer.second.cancel();
}

void BackupTimers::schedule(TaskQueue& queue, const std::string& backupKey, double seconds,
                            std::function<void()> remove) {
  std::lock_guard lock(mutex_);
  if (auto it = timers_.find(backupKey); it != timers_.end()) it->second.second.cancel();
  uint64_t generation = ++generation_;
  std::weak_ptr<bool> alive = alive_;
  TaskHandle handle = queue.postAfterSeconds(seconds, [this, alive, backupKey, generation, remove] {
    if (alive.expired()) return;
    {
      std::lock_guard lock(mutex_);
      auto it = timers_.find(backupKey);
      // Only the newest timer of a key removes it; an older one that lost the race is void.
      if (it == timers_.end() || it->second.first != generation) return;
      timers_.erase(it);
    }
    remove();
  });
  timers_[backupKey] = {generation, handle};
}

size_t BackupTimers::pending() const {
  std::lock_guard lock(mutex_);
  return timers_.size();
}

}  // namespace caskel
