#pragma once

#include <string>
#include <vector>

#include "cli/command_context.h"

namespace caskel::cli {

struct SandboxOptions {
  std::string project;             // default: the current directory
  std::vector<std::string> allow;  // more writable paths
  std::vector<std::string> command;
};

// Runs the command under bubblewrap: everything read-only but the project, the agents' own
// state and the allowed paths; Caskel's directories hidden; its own processes and /tmp; and,
// at the usual socket path, a socket the server opened for this sandbox alone, on which
// everything is served as an AI agent. Returns the command's exit code.
int sandboxCommand(CommandContext& ctx, const SandboxOptions& options);

}  // namespace caskel::cli
