#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/clipboard.h"
#include "support/test_env.h"

namespace caskel::test {

// A clipboard in memory whose change count moves on every write, like the desktop's.
class FakeClipboard : public Clipboard, Guarded {
 public:
  bool setText(const std::string& text) override {
    std::lock_guard lock(mutex_);
    if (!accepts) return false;
    text_ = text;
    ++count_;
    return true;
  }
  std::optional<std::string> text() override {
    return locked([&] { return text_; });
  }
  void clear() override {
    std::lock_guard lock(mutex_);
    text_.clear();
    ++count_;
  }
  int64_t changeCount() override {
    return locked([&] { return count_; });
  }
  bool accepts = true;

 private:
  std::string text_;
  int64_t count_ = 0;
};

}  // namespace caskel::test
