#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_platform.h"

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

  // The background process that, once started with fingerprint(text), clears the clipboard
  // after `seconds` when it still holds that text. Made before the value is fetched: the
  // process keeps a copy of our memory, and only the digest ever reaches it.
  DetachedTask clearLater(int seconds) const;
  // A SHA-256 digest of the text, in hex.
  static std::string fingerprint(std::string_view text);
  // 30 seconds, or $CASKEL_CLIPBOARD_CLEAR_SECONDS when that is shorter.
  static int clearDelaySeconds();

 private:
  std::vector<std::string> copy_, paste_, clear_;
};

}  // namespace caskel::cli
