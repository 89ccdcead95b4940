#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace caskel {

// The desktop clipboard. changeCount() moves whenever anyone puts something new on it, so a
// later clear can check that the clipboard still holds what we put there.
class Clipboard {
 public:
  virtual ~Clipboard() = default;
  virtual bool setText(const std::string& text) = 0;
  virtual std::optional<std::string> text() = 0;
  virtual void clear() = 0;
  virtual int64_t changeCount() = 0;

  // wl-copy/wl-paste under Wayland, xclip or xsel under X11; a clipboard that holds nothing
  // and accepts nothing when neither display is available.
  static std::unique_ptr<Clipboard> system();
};

}  // namespace caskel
