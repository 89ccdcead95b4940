#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cli/command_context.h"

namespace caskel::cli {

// Prints the security checks an agent (or the user) runs with the system's own tools.
int verifyCommand(CommandContext& ctx);
// Fetches the tool from the server ("get-cli") and installs it at ~/.local/bin/caskel atomically.
int updateCommand(CommandContext& ctx);
// Prints the agent instructions; with consent (a terminal answer, or `assumeYes`) installs
// `caskel guard --hook` as a PostToolUse hook in ~/.claude/settings.json, and says that the
// other agents get none.
int setupCommand(CommandContext& ctx, bool assumeYes);

// What the hook runs: the guard in hook mode, which reads the event Claude Code sends.
inline constexpr const char* kGuardHookCommand = "caskel guard --hook";

// Agent settings with the guard hook added, keeping everything already there; a hook that runs
// the plain `caskel guard` is switched to the hook mode. `present` tells that the guard hook was
// there already (the settings are returned unchanged). Nullopt with
// `error` when the settings' shape is not what a settings file may hold.
std::optional<nlohmann::json> withGuardHook(const nlohmann::json& settings, bool& present,
                                            std::string& error);

}  // namespace caskel::cli
