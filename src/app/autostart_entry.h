#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace caskel {

// The user's "start at login" choice: a desktop entry of ours in the XDG autostart folder,
// which desktop sessions read at login. The file's presence is the choice; nothing else
// records it, so a file the user deletes by hand turns the switch off too.
class AutostartEntry {
 public:
  // `path` is where the entry lives; `executable` the program it starts (this one's own path).
  AutostartEntry(std::string path, std::string executable);

  // <configHome>/autostart/caskel-app.desktop.
  static std::string defaultPath();
  // The entry's text, or nothing when the path cannot be written on an Exec line (not UTF-8,
  // a control character, not absolute).
  static std::optional<std::string> text(std::string_view executable);
  // One Exec argument, quoted and escaped as desktop entries read them; plain when nothing in
  // it needs quoting.
  static std::string execArgument(std::string_view argument);

  bool isEnabled() const;
  // Writes the entry (0600; the folder is made 0700 only when missing) or removes it. Nothing
  // on success, else what went wrong, to show the user.
  std::optional<std::string> setEnabled(bool enabled) const;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string executable_;
};

}  // namespace caskel
