#pragma once

#include <functional>

namespace caskel {

// Counts the window's store calls that may be showing a passphrase prompt, so the window does
// not close when the prompt takes the focus. Main thread only.
class PromptTracker {
 public:
  void begin() { ++open_; }
  void end() {
    if (open_ > 0 && --open_ == 0 && onIdle) onIdle();
  }
  bool busy() const { return open_ > 0; }
  // Told when the last call ended (the window may then close if it has lost the focus).
  std::function<void()> onIdle;

 private:
  int open_ = 0;
};

}  // namespace caskel
