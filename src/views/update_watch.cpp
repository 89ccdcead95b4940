#include "views/update_watch.h"

#include <utility>

namespace caskel {

UpdateWatch::UpdateWatch(TaskQueue& mainQueue, TaskQueue::Duration interval, ReadStamp readStamp,
                         std::function<void()> onUpdated)
    : mainQueue_(mainQueue),
      interval_(interval),
      readStamp_(std::move(readStamp)),
      onUpdated_(std::move(onUpdated)) {}

UpdateWatch::~UpdateWatch() {
  next_.cancel();
}

void UpdateWatch::start() {
  launchStamp_ = readStamp_();
  if (launchStamp_) schedule();
}

void UpdateWatch::schedule() {
  next_ = mainQueue_.postAfter(interval_, [this] { tick(); });
}

void UpdateWatch::tick() {
  schedule();
  // The whole stamp counts: an installer that renames a new file into place may keep the old
  // modification time, but not the inode.
  auto current = readStamp_();
  if (current && *current != *launchStamp_ && onUpdated_) onUpdated_();
}

}  // namespace caskel
