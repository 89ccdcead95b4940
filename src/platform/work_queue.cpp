#include "platform/work_queue.h"

#include <pthread.h>

#include <future>

namespace caskel {

namespace {
thread_local const WorkQueue* currentQueue = nullptr;
}

TaskHandle TaskQueue::postAfterSeconds(double seconds, Task task) {
  if (!(seconds > 0)) seconds = 0;
  // Far-future deadlines (a hostile config file, a huge time-out) must not overflow the clock.
  constexpr double kTenYears = 10.0 * 365 * 24 * 3600;
  if (seconds > kTenYears) seconds = kTenYears;
  return postAfter(std::chrono::duration_cast<Duration>(std::chrono::duration<double>(seconds)), std::move(task));
}

TaskHandle TaskSchedule::add(std::chrono::steady_clock::time_point when, TaskQueue::Task task) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return TaskHandle(cancelled);
    entries_.push(Entry{when, seq_++, std::move(task), cancelled});
  }
  // One waiter is enough: a thread that finishes a task looks for more before it waits, and
  // waking the whole pool for every request costs more than the request itself.
  cv_.notify_one();
  return TaskHandle(cancelled);
}

bool TaskSchedule::next(TaskQueue::Task& out) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stopped_) return false;
    if (entries_.empty()) {
      cv_.wait(lock);
      continue;
    }
    auto when = entries_.top().when;
    if (when > std::chrono::steady_clock::now()) {
      cv_.wait_until(lock, when);
      continue;
    }
    Entry entry = std::move(const_cast<Entry&>(entries_.top()));
    entries_.pop();
    if (entry.cancelled->load()) continue;
    out = std::move(entry.task);
    return true;
  }
}

void TaskSchedule::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    while (!entries_.empty()) entries_.pop();
  }
  cv_.notify_all();
}

bool TaskSchedule::stopped() const {
  std::lock_guard lock(mutex_);
  return stopped_;
}

WorkQueue::WorkQueue(std::string label, unsigned threads) : label_(std::move(label)) {
  if (threads == 0) threads = 1;
  for (unsigned i = 0; i < threads; ++i) {
    threads_.emplace_back([this] {
      currentQueue = this;
      // Thread names are limited to 15 bytes; the label's tail is the informative part.
      std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
      pthread_setname_np(pthread_self(), name.c_str());
      TaskQueue::Task task;
      while (schedule_.next(task)) {
        task();
        task = nullptr;
      }
    });
  }
}

WorkQueue::~WorkQueue() { shutdown(); }

void WorkQueue::shutdown() {
  schedule_.stop();
  for (auto& t : threads_) {
    if (t.joinable()) {
      if (t.get_id() == std::this_thread::get_id()) {
        t.detach();
      } else {
        t.join();
      }
    }
  }
}

bool WorkQueue::isCurrent() const { return currentQueue == this; }

void WorkQueue::post(Task task) { schedule_.add(std::chrono::steady_clock::now(), std::move(task)); }

TaskHandle WorkQueue::postAfter(Duration delay, Task task) {
  return schedule_.add(std::chrono::steady_clock::now() + delay, std::move(task));
}

void WorkQueue::sync(const Task& task) {
  if (schedule_.stopped()) return;
  std::promise<void> done;
  auto future = done.get_future();
  post([&] {
    task();
    done.set_value();
  });
  future.wait();
}

void RunLoop::post(Task task) { schedule_.add(std::chrono::steady_clock::now(), std::move(task)); }

TaskHandle RunLoop::postAfter(Duration delay, Task task) {
  return schedule_.add(std::chrono::steady_clock::now() + delay, std::move(task));
}

void RunLoop::run() {
  TaskQueue::Task task;
  while (schedule_.next(task)) {
    task();
    task = nullptr;
  }
}

void RunLoop::quit() { schedule_.stop(); }

}  // namespace caskel
