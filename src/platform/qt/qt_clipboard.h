#pragma once

#include <QObject>
#include <cstdint>

#include "platform/clipboard.h"

namespace caskel {

// The desktop clipboard through Qt. The change count moves on every change anyone makes, so a
// delayed clear only removes what Caskel itself put there. What Caskel copies is marked as a
// secret for clipboard managers and never reaches the primary selection. Main thread only.
class QtClipboard final : public QObject, public Clipboard {
 public:
  QtClipboard();
  ~QtClipboard() override;

  bool setText(const std::string& text) override;
  std::optional<std::string> text() override;
  void clear() override;
  int64_t changeCount() override { return changes_; }

  // Clears the clipboard when it still holds what Caskel put there last (at quit).
  void clearIfOwned();

  static constexpr const char* kPasswordHintType = "x-kde-passwordManagerHint";

 private:
  int64_t changes_ = 0;
  int64_t ownedAt_ = -1;  // the change count right after our last copy
};

}  // namespace caskel
