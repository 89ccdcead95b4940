#include "app/application.h"

namespace caskel {

Application& Application::shared() {
  static Application instance;
  return instance;
}

void Application::postToMain(TaskQueue::Task task) {
  if (!task) return;
  if (TaskQueue* queue = mainQueue()) {
    queue->post(std::move(task));
  } else {
    task();
  }
}

bool Application::isMainThread() const {
  std::thread::id main = mainThread_.load();
  // With no main thread named, whoever runs is as good as the main thread: tasks posted to
  // "main" then run inline on the poster's thread too.
  if (main == std::thread::id()) return mainQueue() == nullptr;
  return main == std::this_thread::get_id();
}

void Application::markMainThread() {
  mainThread_.store(std::this_thread::get_id());
}

}  // namespace caskel
