#pragma once

#include <string>
#include <vector>

#include "cli/command_context.h"
#include "cli/dot_env.h"

namespace caskel::cli {

// `load` (export KEY='value' lines) and `env` (KEY='value' lines); refused for agents.
int loadCommand(CommandContext& ctx, const std::string& prefix, bool withExport);
// Writes the folder as a .env file (0600); refuses to replace an existing file without `force`.
int exportCommand(CommandContext& ctx, const std::string& prefix, const std::string& file, bool force);
int importCommand(CommandContext& ctx, const std::string& prefix, const std::string& file);
// With `json`: [{"bundle": name, "accounts": [{"account": key, "strict": bool}, ...]}, ...].
int bundleListCommand(CommandContext& ctx, const std::string& prefix, bool json = false);
int bundleLoadCommand(CommandContext& ctx, const std::string& bundlePath);

// Stores parsed .env entries under a prefix (the last of a repeated name wins) and reports each
// key stored; shared by `import` and `scan`.
int importEntries(CommandContext& ctx, const std::string& prefix, const std::vector<DotEnvEntry>& entries,
                  const std::string& source);
// Reads and parses a .env file, reporting its problems by line.
std::optional<DotEnvFile> readDotEnvFile(const CommandContext& ctx, const std::string& file);

}  // namespace caskel::cli
