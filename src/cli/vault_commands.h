#pragma once

#include <string>

#include "cli/command_context.h"

namespace caskel::cli {

// The vault as a whole. Every passphrase is asked by the server's prompt, never here: the tool
// only names what to do, and the server refuses all three to agents.
// "passwd": a new vault passphrase.
int passwdCommand(CommandContext& ctx);
// "backup": a copy of the vault, still sealed under the passphrase, at `file` (mode 0600).
int backupCommand(CommandContext& ctx, const std::string& file, bool force);
// "restore": the vault replaced by the backup at `file`; the previous one is kept as vault.db.bak.
int restoreCommand(CommandContext& ctx, const std::string& file);

}  // namespace caskel::cli
