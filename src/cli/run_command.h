#pragma once

#include <string>
#include <vector>

#include "cli/command_context.h"

namespace caskel::cli {

struct RunOptions {
  std::vector<std::string> only;  // key names (last piece or variable name); empty: the whole folder
  std::string prefix;
  std::vector<std::string> command;
};

// Starts the command with the folder's secrets in its environment, printing none of them. When
// the server treats us as an agent, the command's output passes through a filter that replaces
// every served value with <redacted:NAME>. Returns the command's exit code.
int runCommand(CommandContext& ctx, const RunOptions& options);

}  // namespace caskel::cli
