#pragma once

#include <memory>

#include "platform/work_queue.h"

namespace caskel {

class SessionManager;

// The process-wide application object: the main queue that model changes are published on,
// and the running server's session manager when there is one. caskeld (and the tray app
// later) fills it in at launch.
class Application {
 public:
  static Application& shared();

  // The main queue; when none was set, tasks run on the posting thread.
  TaskQueue* mainQueue() const { return mainQueue_; }
  void setMainQueue(TaskQueue* queue) { mainQueue_ = queue; }
  void postToMain(TaskQueue::Task task);
  bool isMainThread() const;
  void markMainThread();

  SessionManager* sessionManager() const { return sessionManager_; }
  void setSessionManager(SessionManager* manager) { sessionManager_ = manager; }

 private:
  TaskQueue* mainQueue_ = nullptr;
  SessionManager* sessionManager_ = nullptr;
};

}  // namespace caskel
