#pragma once

#include "cli/command_context.h"

namespace caskel::cli {

// Passes standard input to standard output unchanged, then warns on standard error about what
// looks like a leaked secret (a stored peek, or a credential-like token). With `strict`, a
// warning makes the exit code 1. A missing server only narrows the check to tokens.
int guardCommand(CommandContext& ctx, bool strict);

// The exit status with which a post-tool hook has its standard error read to the agent.
inline constexpr int kExitHookFeedback = 2;

// The agent hook: reads one post-tool event from standard input and, when the tool's output
// holds the start of a stored secret, names the keys (never a value) on standard error and
// exits kExitHookFeedback; otherwise exits 0 without a word. Nothing goes to standard output.
int guardHookCommand(CommandContext& ctx);

}  // namespace caskel::cli
