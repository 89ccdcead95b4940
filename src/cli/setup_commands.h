#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "cli/command_context.h"

namespace caskel::cli {

// Prints the security checks an agent (or the user) runs with the system's own tools.
int verifyCommand(CommandContext& ctx);
// Fetches the tool from the server ("get-cli") and installs it at ~/.local/bin/caskel atomically.
int updateCommand(CommandContext& ctx);
// Prints the agent instructions; with consent (a terminal answer, or `assumeYes`) installs
// `caskel guard --hook` as a PostToolUse hook in ~/.claude/settings.json, and says that the
// other agents get none. Then, for each agent found in the home, prints how to start it in
// `caskel sandbox` and, asked on a terminal (not under `assumeYes`, which is the hook's alone),
// adds a shell alias or a wrapper script for that.
int setupCommand(CommandContext& ctx, bool assumeYes);

// What the hook runs: the guard in hook mode, which reads the event Claude Code sends.
inline constexpr const char* kGuardHookCommand = "caskel guard --hook";

// Agent settings with the guard hook added, keeping everything already there; a hook that runs
// the plain `caskel guard` is switched to the hook mode. `present` tells that the guard hook was
// there already (the settings are returned unchanged). Nullopt with
// `error` when the settings' shape is not what a settings file may hold.
std::optional<nlohmann::json> withGuardHook(const nlohmann::json& settings, bool& present,
                                            std::string& error);

// The start-up file an interactive shell reads, by $SHELL's program name: bash's ~/.bashrc, zsh's
// .zshrc in $ZDOTDIR (the home when unset); nullopt for other shells, whose alias the user adds.
std::optional<std::string> shellRcFile(std::string_view shell, const std::string& home,
                                       const std::optional<std::string>& zdotdir);
// The alias under the agent's own name, so that typing it starts the agent sandboxed.
std::string sandboxAliasLine(std::string_view agent);
// The rc file's text with the agent's marked alias block appended; nullopt when the block's
// marker line is there already (the block is the user's to edit from then on).
std::optional<std::string> withSandboxAlias(std::string_view rcText, std::string_view agent);
// The script ~/.local/bin/<agent>-sandboxed.
std::string sandboxWrapperScript(std::string_view agent);

}  // namespace caskel::cli
