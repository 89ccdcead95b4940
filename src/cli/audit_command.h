#pragma once

#include <string>

#include "cli/command_context.h"

namespace caskel::cli {

// `caskel audit on|off|clear` asks the server to change its audit log (the server owns it and
// may ask for the passphrase); `caskel audit show` prints its last `lines` records, oldest
// first, in the file's own line format.
int auditCommand(CommandContext& ctx, const std::string& action, int lines);

}  // namespace caskel::cli
