#pragma once

#include <functional>
#include <optional>
#include <string>

namespace caskel {

// A key combination held down anywhere on the desktop, in the window system's own terms.
struct GlobalKey {
  std::string key;  // "A".."Z", "0".."9", "Space", "Return", "Esc" or "Tab"
  bool ctrl = false;
  bool shift = false;
  bool alt = false;
  bool super = false;
};

// One way of binding a system-wide shortcut (an X11 passive key grab, a desktop portal). The
// program owns at most one binding at a time.
class GlobalHotkey {
 public:
  virtual ~GlobalHotkey() = default;
  // How the binding is made, for Settings ("X11 key grab").
  virtual std::string mechanism() const = 0;
  // Binds `key`, replacing any earlier binding; `pressed` runs on the thread that delivers the
  // window system's events. On failure nothing stays bound and the reason comes back (for the
  // X11 grab, the X error code in decimal).
  virtual std::optional<std::string> bind(const GlobalKey& key, std::function<void()> pressed) = 0;
  virtual void unbind() = 0;
};

}  // namespace caskel
