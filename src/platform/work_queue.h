#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

namespace caskel {

// A handle to a scheduled task; cancel() keeps it from running if it has not started.
class TaskHandle {
 public:
  TaskHandle() = default;
  explicit TaskHandle(std::shared_ptr<std::atomic<bool>> cancelled) : cancelled_(std::move(cancelled)) {}
  void cancel() const {
    if (cancelled_) cancelled_->store(true);
  }
  bool isCancelled() const { return cancelled_ && cancelled_->load(); }
  bool valid() const { return cancelled_ != nullptr; }

 private:
  std::shared_ptr<std::atomic<bool>> cancelled_;
};

// Where work can be posted: a queue with its own threads, or a run loop on the main thread.
// A GUI's main queue implements it over its own event loop (a posted call and a single-shot
// timer that skip the task once its handle is cancelled); tests drain one by hand.
class TaskQueue {
 public:
  using Task = std::function<void()>;
  using Duration = std::chrono::steady_clock::duration;
  virtual ~TaskQueue() = default;
  virtual void post(Task task) = 0;
  virtual TaskHandle postAfter(Duration delay, Task task) = 0;

  template <class Rep, class Period>
  TaskHandle postAfterSeconds(std::chrono::duration<Rep, Period> delay, Task task) {
    return postAfter(std::chrono::duration_cast<Duration>(delay), std::move(task));
  }
  TaskHandle postAfterSeconds(double seconds, Task task);
};

// Tasks ordered by deadline, then by order of posting; shared by WorkQueue and RunLoop.
class TaskSchedule {
 public:
  TaskHandle add(std::chrono::steady_clock::time_point when, TaskQueue::Task task);
  // Blocks until a task is due or stop() was called; false means stopped and drained of due work.
  bool next(TaskQueue::Task& out);
  void stop();
  bool stopped() const;

 private:
  struct Entry {
    std::chrono::steady_clock::time_point when;
    uint64_t seq;
    TaskQueue::Task task;
    std::shared_ptr<std::atomic<bool>> cancelled;
    bool operator>(const Entry& o) const { return when != o.when ? when > o.when : seq > o.seq; }
  };
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> entries_;
  uint64_t seq_ = 0;
  bool stopped_ = false;
};

// A queue served by a fixed number of threads: one thread makes it a serial queue
// ("caskel.audit", "caskel.session-timers"), several make a bounded pool ("caskel.clients").
// Destruction stops the threads; tasks not yet due are dropped, a running task is finished.
class WorkQueue final : public TaskQueue {
 public:
  explicit WorkQueue(std::string label, unsigned threads = 1);
  ~WorkQueue() override;
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  void post(Task task) override;
  TaskHandle postAfter(Duration delay, Task task) override;
  // Runs the task on the queue and waits for it. Never call it from the queue's own thread.
  void sync(const Task& task);
  // Stops accepting work and joins the threads.
  void shutdown();
  const std::string& label() const { return label_; }
  unsigned threadCount() const { return static_cast<unsigned>(threads_.size()); }
  // True when called from one of this queue's threads.
  bool isCurrent() const;

 private:
  std::string label_;
  TaskSchedule schedule_;
  std::vector<std::thread> threads_;
};

// The main queue of a program without a GUI: run() serves posted tasks on the calling
// thread until quit(). The Qt application will post to its own event loop instead.
class RunLoop final : public TaskQueue {
 public:
  void post(Task task) override;
  TaskHandle postAfter(Duration delay, Task task) override;
  void run();
  void quit();

 private:
  TaskSchedule schedule_;
};

}  // namespace caskel
