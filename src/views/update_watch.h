#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "platform/file_system.h"
#include "platform/work_queue.h"

namespace caskel {

// Notices that the program's executable was replaced on disk (a package upgrade, a new build):
// its stamp is read at start and again every interval; any difference tells `onUpdated`, at
// every tick until the program restarts. A stamp missing at start switches the watch off; one
// missing at a tick skips that tick. Runs on the main queue.
class UpdateWatch {
 public:
  using ReadStamp = std::function<std::optional<fs::FileStamp>()>;

  UpdateWatch(TaskQueue& mainQueue, TaskQueue::Duration interval, ReadStamp readStamp,
              std::function<void()> onUpdated);
  ~UpdateWatch();
  UpdateWatch(const UpdateWatch&) = delete;
  UpdateWatch& operator=(const UpdateWatch&) = delete;

  // Reads the launch stamp and schedules the first tick.
  void start();
  bool watching() const { return launchStamp_.has_value(); }

 private:
  void schedule();
  void tick();

  TaskQueue& mainQueue_;
  TaskQueue::Duration interval_;
  ReadStamp readStamp_;
  std::function<void()> onUpdated_;
  std::optional<fs::FileStamp> launchStamp_;
  TaskHandle next_;
};

}  // namespace caskel
