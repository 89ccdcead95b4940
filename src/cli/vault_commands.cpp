#include "cli/vault_commands.h"

#include "cli/cli_platform.h"

namespace caskel::cli {

namespace {
std::string valueOf(const nlohmann::json& reply) {
  auto it = reply.find("value");
  return it != reply.end() && it->is_string() ? it->get<std::string>() : std::string();
}
}  // namespace

int passwdCommand(CommandContext& ctx) {
  auto reply = ctx.call({{"cmd", "passwd"}});
  if (!reply) return kExitFailed;
  ctx.out("Vault passphrase changed. Every session was locked: the next read asks the new passphrase.\n");
  return kExitOk;
}

int backupCommand(CommandContext& ctx, const std::string& file, bool force) {
  // The server does not know this process's working directory.
  auto reply = ctx.call({{"cmd", "backup"}, {"path", absolutePath(file)}, {"force", force}});
  if (!reply) return kExitFailed;
  ctx.out("Backed up the vault to " + valueOf(*reply) +
          " (mode 0600). It opens only with the vault passphrase it had when it was made.\n");
  return kExitOk;
}

int restoreCommand(CommandContext& ctx, const std::string& file) {
  const std::string path = absolutePath(file);
  auto reply = ctx.call({{"cmd", "restore"}, {"path", path}});
  if (!reply) return kExitFailed;
  std::string count = valueOf(*reply);
  ctx.out("Restored the vault from " + path + " (" + (count.empty() ? "0" : count) +
          (count == "1" ? " key" : " keys") +
          "). The previous vault is kept as vault.db.bak beside it; every session was locked.\n");
  return kExitOk;
}

}  // namespace caskel::cli
