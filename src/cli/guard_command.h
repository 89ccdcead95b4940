#pragma once

#include "cli/command_context.h"

namespace caskel::cli {

// Passes standard input to standard output unchanged, then warns on standard error about what
// looks like a leaked secret (a stored peek, or a credential-like token). With `strict`, a
// warning makes the exit code 1. A missing server only narrows the check to tokens.
int guardCommand(CommandContext& ctx, bool strict);

}  // namespace caskel::cli
