#pragma once

#include <optional>
#include <string>

#include "cli/command_context.h"

namespace caskel::cli {

int unlockCommand(CommandContext& ctx, const std::string& prefix, const std::optional<std::string>& timeout);
int lockCommand(CommandContext& ctx, const std::optional<std::string>& prefix);
// With `json`: [{"prefix": "acme/api/", "count": 3}, ...].
int sessionCommand(CommandContext& ctx, bool json = false);

struct ConfigOptions {
  std::optional<std::string> prefix;
  std::optional<std::string> timeout;
  std::optional<std::string> remove;
  // The listing as {"default_timeout": seconds, "timeouts": [{"prefix": text, "timeout": seconds}]}.
  bool json = false;
};
int configCommand(CommandContext& ctx, const ConfigOptions& options);

}  // namespace caskel::cli
