#include "platform/qt/qt_main_queue.h"

#include <QMetaObject>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>

namespace caskel {

QtMainQueue::QtMainQueue(QObject* owner) : owner_(owner) {}

void QtMainQueue::post(Task task) {
  QMetaObject::invokeMethod(owner_, std::move(task), Qt::QueuedConnection);
}

TaskHandle QtMainQueue::postAfter(Duration delay, Task task) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  auto run = [cancelled, task = std::move(task)] {
    if (!cancelled->load()) task();
  };
  // Timers belong to the thread that starts them, so the timer is started from the main loop.
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay).count();
  int interval = ms <= 0 ? 0 : (ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms));
  QPointer<QObject> owner = owner_;
  post([owner, interval, run = std::move(run)]() mutable {
    if (owner) QTimer::singleShot(interval, owner.data(), std::move(run));
  });
  return TaskHandle(cancelled);
}

}  // namespace caskel
