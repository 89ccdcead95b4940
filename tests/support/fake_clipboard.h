#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clipboard.h"

namespace caskel::test {

// A clipboard in memory whose change count moves on every write, like the desktop's.
class FakeClipboard : public Clipboard {
 public:
  bool setText(const std::string& text) override {
    std::lock_guard lock(mutex_);
    if (!accepts) return false;
    text_ = text;
    ++count_;
    return true;
  }
  std::optional<std::string> text() override {
    std::lock_guard lock(mutex_);
    return text_;
  }
  void clear() override {
    std::lock_guard lock(mutex_);
    text_.clear();
    ++count_;
    ++clears_;
    cv_.notify_all();
  }
  int64_t changeCount() override {
    std::lock_guard lock(mutex_);
    return count_;
  }
  bool waitForClear() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return clears_ > 0; });
  }
  bool accepts = true;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::string text_;
  int64_t count_ = 0;
  int clears_ = 0;
};

}  // namespace caskel::test
