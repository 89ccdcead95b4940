#pragma once

#include "cli/command_context.h"

namespace caskel::cli {

// Parses the command line and runs one command. Returns the exit code: 0 success, 1 refused or
// failed, 2 bad usage (a command run by `run` returns its own code).
int runCli(int argc, const char* const* argv, CliIo& io);

}  // namespace caskel::cli
