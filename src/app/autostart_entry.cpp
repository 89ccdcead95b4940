#include "app/autostart_entry.h"

#include <cerrno>

#include "base/utf8.h"
#include "platform/file_system.h"

namespace caskel {

namespace {

// Characters that make an Exec argument need quotes; inside quotes the ones that still need
// a backslash.
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
constexpr std::string_view kEscapedInQuotes = "\"`$\\";

}  // namespace

AutostartEntry::AutostartEntry(std::string path, std::string executable)
    : path_(std::move(path)), executable_(std::move(executable)) {}

std::string AutostartEntry::defaultPath() {
  return fs::configHome() + "/autostart/caskel-app.desktop";
}

std::string AutostartEntry::execArgument(std::string_view argument) {
  const bool quoted = argument.empty() || argument.find_first_of(kReserved) != std::string_view::npos;
  std::string out = quoted ? "\"" : "";
  for (char c : argument) {
    if (c == '%') {
      out += "%%";  // a lone % would start a field code
      continue;
    }
    if (quoted && kEscapedInQuotes.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  if (quoted) out += '"';
  // The value's own escapes are undone before the quotes are read, so each backslash of the
  // quoted form is written twice.
  std::string value;
  for (char c : out) {
    if (c == '\\') value += '\\';
    value += c;
  }
  return value;
}

std::optional<std::string> AutostartEntry::text(std::string_view executable) {
  if (executable.empty() || executable.front() != '/' || !isValidUtf8(executable)) return std::nullopt;
  for (unsigned char c : executable) {
    if (c < 0x20 || c == 0x7f) return std::nullopt;
  }
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Caskel\n"
         "Comment=Opens Caskel in the tray when you log in\n"
         "Exec=" +
         execArgument(executable) +
         " --autostart\n"
         "Icon=caskel\n"
         "Terminal=false\n"
         // Not hidden: the desktop's list of start-up programs shows it, so the user can see
         // and undo it there too.
         "Categories=Utility;\n"
         "X-GNOME-Autostart-enabled=true\n";
}

bool AutostartEntry::isEnabled() const {
  return fs::stampOf(path_).has_value();
}

std::optional<std::string> AutostartEntry::setEnabled(bool enabled) const {
  if (!enabled) {
    if (fs::removeFile(path_) || errno == ENOENT) return std::nullopt;
    return "Could not remove " + path_ + ": " + fs::lastErrorText();
  }
  auto entry = text(executable_);
  if (!entry) return std::string("Caskel cannot name its own program file in a start-up entry");
  if (!fs::writeFileAtomically(path_, *entry, 0600)) {
    return "Could not write " + path_ + ": " + fs::lastErrorText();
  }
  return std::nullopt;
}

}  // namespace caskel
