#pragma once

#include <QObject>

#include "platform/work_queue.h"

namespace caskel {

// The main queue of the desktop program: tasks are queued calls into the Qt event loop of the
// thread that created it, so model changes land where the widgets live. Any thread may post.
class QtMainQueue final : public TaskQueue {
 public:
  // `owner` lives on the main thread; tasks posted after it is gone are dropped.
  explicit QtMainQueue(QObject* owner);

  void post(Task task) override;
  TaskHandle postAfter(Duration delay, Task task) override;

 private:
  QObject* owner_;
};

}  // namespace caskel
