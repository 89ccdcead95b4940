#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace caskel::instance {

// How a second start of the desktop program reaches the first: one line over a socket of its
// own, beside the server's socket in that socket's private directory.

inline constexpr std::string_view kSocketName = "caskel-app.sock";
// A request longer than this is refused unread.
inline constexpr size_t kMaxCommandBytes = 64;

// The program's socket for a server socket at `serverSocketPath` (the default one or
// $CASKEL_SOCKET): the same directory, named kSocketName.
std::string socketPath(std::string_view serverSocketPath);

// show: the window; toggleQuickAccess: the quick-access panel ("toggle-quick-access");
// autostart: a start at login found this program running, which then does nothing, so that
// no window opens at login.
enum class Command { show, toggleQuickAccess, autostart };

// The command a line names (without its newline), or nothing for anything else.
std::optional<Command> parseCommand(std::string_view line);
std::string_view commandText(Command command);

}  // namespace caskel::instance
