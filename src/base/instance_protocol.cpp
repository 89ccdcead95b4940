#include "base/instance_protocol.h"

#include <array>
#include <utility>

namespace caskel::instance {

namespace {

constexpr std::array<std::pair<Command, std::string_view>, 3> kCommands = {{
    {Command::show, "show"},
    {Command::toggleQuickAccess, "toggle-quick-access"},
    {Command::autostart, "autostart"},
}};

}  // namespace

std::string socketPath(std::string_view serverSocketPath) {
  auto slash = serverSocketPath.find_last_of('/');
  std::string dir = slash == std::string_view::npos ? std::string(".")
                    : slash == 0                    ? std::string()
                                                    : std::string(serverSocketPath.substr(0, slash));
  return dir + "/" + std::string(kSocketName);
}

std::optional<Command> parseCommand(std::string_view line) {
  for (const auto& [command, text] : kCommands) {
    if (line == text) return command;
  }
  return std::nullopt;
}

std::string_view commandText(Command command) {
  for (const auto& [known, text] : kCommands) {
    if (known == command) return text;
  }
  return {};
}

}  // namespace caskel::instance
