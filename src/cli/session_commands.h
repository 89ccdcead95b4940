#pragma once

#include <optional>
#include <string>

#include "cli/command_context.h"

namespace caskel::cli {

int unlockCommand(CommandContext& ctx, const std::string& prefix, const std::optional<std::string>& timeout);
int lockCommand(CommandContext& ctx, const std::optional<std::string>& prefix);
int sessionCommand(CommandContext& ctx);

struct ConfigOptions {
  std::optional<std::string> prefix;
  std::optional<std::string> timeout;
  std::optional<std::string> remove;
};
int configCommand(CommandContext& ctx, const ConfigOptions& options);

}  // namespace caskel::cli
