#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "platform/work_queue.h"

namespace caskel {

class SessionManager;

// The process-wide application object: the main queue that model changes are published on,
// and the running server's session manager when there is one. The ServerHost fills it in
// when it starts, in caskeld and in the desktop program alike.
class Application {
 public:
  static Application& shared();

  // The main queue; when none was set, tasks run on the posting thread.
  TaskQueue* mainQueue() const { return mainQueue_.load(); }
  void setMainQueue(TaskQueue* queue) { mainQueue_.store(queue); }
  void postToMain(TaskQueue::Task task);
  bool isMainThread() const;
  void markMainThread();

  SessionManager* sessionManager() const { return sessionManager_.load(); }
  void setSessionManager(SessionManager* manager) { sessionManager_.store(manager); }

 private:
  // Set at launch and read from server threads.
  std::atomic<TaskQueue*> mainQueue_{nullptr};
  std::atomic<SessionManager*> sessionManager_{nullptr};
  std::atomic<std::thread::id> mainThread_{};
};

}  // namespace caskel
