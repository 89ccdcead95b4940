#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace caskel::cli {

// The desktop clipboard through its command-line tools: wl-copy/wl-paste under Wayland, xclip
// or xsel under X11. $CASKEL_CLIPBOARD_COPY, $CASKEL_CLIPBOARD_PASTE and $CASKEL_CLIPBOARD_CLEAR
// (shell commands) replace them, for other desktops and for tests.
class ClipboardTool {
 public:
  static ClipboardTool detect();

  bool available() const { return !copy_.empty() && !paste_.empty(); }
  bool copy(std::string_view text) const;
  std::optional<std::string> paste() const;
  bool clear() const;

  // In a detached background process: after `seconds`, clears the clipboard when it still holds
  // `text`. Only a digest of the text is kept for the comparison, never the text itself.
  void scheduleClear(std::string_view text, int seconds) const;
  // 30 seconds, or $CASKEL_CLIPBOARD_CLEAR_SECONDS when that is shorter.
  static int clearDelaySeconds();

 private:
  std::vector<std::string> copy_, paste_, clear_;
};

}  // namespace caskel::cli
