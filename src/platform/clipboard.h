#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

  // Programs (first element) and their arguments for each operation. `copy` takes the text on
  // standard input, `paste` prints it; an empty `clear` clears by copying an empty text.
  struct Commands {
    std::vector<std::string> copy;
    std::vector<std::string> paste;
    std::vector<std::string> clear;
  };
  // A clipboard driven by external programs; system() builds one of these.
  static std::unique_ptr<Clipboard> withCommands(Commands commands);
};

}  // namespace caskel
