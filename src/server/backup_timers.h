#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/work_queue.h"

namespace caskel {

// One removal timer per backup key. A newer backup of the same key cancels the older timer,
// so a second rotation within the hour never loses its backup early.
class BackupTimers {
 public:
  BackupTimers() = default;
  ~BackupTimers();
  BackupTimers(const BackupTimers&) = delete;
  BackupTimers& operator=(const BackupTimers&) = delete;

  void schedule(TaskQueue& queue, const std::string& backupKey, double seconds, std::function<void()> remove);
  size_t pending() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::pair<uint64_t, TaskHandle>> timers_;
  uint64_t generation_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace caskel
