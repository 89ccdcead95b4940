#pragma once

#include <string>

#include "cli/command_context.h"

namespace caskel::cli {

// The guided rotation: shows the current peek, explains the steps, reads the new value (hidden,
// from the clipboard, or piped), sends "rotate" and reports the one-hour backup.
int rotateCommand(CommandContext& ctx, const std::string& key, bool fromClipboard);

}  // namespace caskel::cli
