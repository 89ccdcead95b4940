#include "server/vault_handlers.h"

#include "audit/audit_logger.h"
#include "base/display_text.h"
#include "platform/vault_admin.h"
#include "server/command_support.h"
#include "session/session_manager.h"

namespace caskel {

namespace {

constexpr size_t kMaxPathBytes = 4096;
constexpr size_t kMaxShownPath = 200;

std::string refusedToAgents(const std::string& what, const std::string& command) {
  return what + " is blocked for AI agents and detached processes — run `caskel " + command +
         "` yourself, in your own terminal";
}

// The request's "path": an absolute file path, as the tool sends it. Nothing when unusable.
std::optional<std::string> requestPath(const Request& r) {
  auto path = r.string("path");
  if (!path || path->empty() || path->front() != '/' || path->back() == '/' || path->size() > kMaxPathBytes ||
      path->find('\0') != std::string::npos) {
    return std::nullopt;
  }
  return path;
}

std::string shownPath(const std::string& path) {
  return "\"" + displaySafe(path, kMaxShownPath) + "\"";
}

// The reply text of a failed vault operation on `path` (empty for passwd).
std::string failureText(const VaultAdmin::Result& result, const std::string& path, bool reading) {
  using S = VaultAdmin::Status;
  switch (result.status) {
    case S::ok:
      break;
    case S::canceled:
      return KeychainError::authenticationCanceled().errorDescription();
    case S::unavailable:
      return KeychainError::promptUnavailable(result.reason).errorDescription();
    case S::wrongPassphrase:
      return reading ? "Wrong passphrase for " + shownPath(path) + " — the vault was left as it is"
                     : std::string("Wrong passphrase — the passphrase was not changed");
    case S::noVault:
      return "There is no vault yet — it is created, with its passphrase, when the first secret is stored";
    case S::exists:
      return shownPath(path) + " already exists — use --force to replace it";
    case S::symlink:
      return shownPath(path) + " is a symbolic link, which Caskel does not follow";
    case S::notRegular:
      return shownPath(path) + " is not a regular file";
    case S::notWritable:
      return "Cannot write a file in the folder of " + shownPath(path);
    case S::missing:
      return shownPath(path) + " does not exist";
    case S::notVault:
      return shownPath(path) + " is not a Caskel vault — the vault was left as it is";
    case S::damaged:
      return "The vault's key record does not match its key — nothing was changed";
    case S::ioError:
      break;
  }
  return KeychainError::fromStatus(status::kIoError).errorDescription();
}

}  // namespace

Reply handlePasswd(const Request& r) {
  if (r.caller.treatedAsAgent())
    return Reply::failure(refusedToAgents("Changing the vault passphrase", "passwd"));
  auto admin = VaultAdmin::shared();
  if (!admin) return Reply::failure(failureText({VaultAdmin::Status::ioError}, {}, false));
  ServerServices& s = r.services;
  VaultAdmin::Result result =
      admin->changePassphrase("Change the vault passphrase — " + r.callerDescription());
  if (result.status != VaultAdmin::Status::ok) {
    if (result.status != VaultAdmin::Status::canceled) s.audit.log("PASSWD", std::nullopt, "error");
    return Reply::failure(failureText(result, {}, false));
  }
  // The key pair is the same, so a read in progress goes on; but whoever knew the old
  // passphrase must not keep what it opened: sessions and the recent-yes window end here.
  s.session.lock(std::nullopt);
  s.audit.log("PASSWD", std::nullopt, "ok");
  return Reply::success("Vault passphrase changed");
}

Reply handleBackup(const Request& r) {
  if (r.caller.treatedAsAgent()) return Reply::failure(refusedToAgents("Backing up the vault", "backup"));
  auto path = requestPath(r);
  if (!path) return Reply::failure("Invalid path — give the backup file's absolute path");
  auto admin = VaultAdmin::shared();
  if (!admin) return Reply::failure(failureText({VaultAdmin::Status::ioError}, *path, false));
  auto force = r.body.find("force");
  const bool replace = force != r.body.end() && force->is_boolean() && force->get<bool>();
  ServerServices& s = r.services;
  // Refusals that need no passphrase come before the prompt, so nobody is asked in vain.
  if (VaultAdmin::Status ready = admin->checkBackupTarget(*path, replace); ready != VaultAdmin::Status::ok) {
    return Reply::failure(failureText({ready}, *path, false));
  }
  // The current passphrase, not a yes/no: the copy leaves the server's care for good, and
  // whoever holds it can try passphrases against it offline.
  if (auto refusal =
          promptRefusal(r, "Back up the vault to " + shownPath(*path) + " — " + r.callerDescription())) {
    return Reply::failure(*refusal);
  }
  VaultAdmin::Result result = admin->backup(*path, replace);
  s.audit.log("BACKUP", *path, result.status == VaultAdmin::Status::ok ? "ok" : "error");
  if (result.status != VaultAdmin::Status::ok) return Reply::failure(failureText(result, *path, false));
  return Reply::success(*path);
}

Reply handleRestore(const Request& r) {
  if (r.caller.treatedAsAgent()) return Reply::failure(refusedToAgents("Restoring the vault", "restore"));
  auto path = requestPath(r);
  if (!path) return Reply::failure("Invalid path — give the backup file's absolute path");
  auto admin = VaultAdmin::shared();
  if (!admin) return Reply::failure(failureText({VaultAdmin::Status::ioError}, *path, true));
  ServerServices& s = r.services;
  VaultAdmin::Result result = admin->restore(
      *path,
      "Restore the vault from " + shownPath(*path) + " — " + r.callerDescription() +
          "\n\nEnter the passphrase of this backup; it becomes the vault's passphrase. The current vault "
          "is kept as vault.db.bak.");
  if (result.status != VaultAdmin::Status::ok) {
    if (result.status != VaultAdmin::Status::canceled) s.audit.log("RESTORE", *path, "error");
    return Reply::failure(failureText(result, *path, true));
  }
  // Nothing read from the old vault may be served any more: every session and cached value
  // goes, and with them the recent-yes window that holds the old key.
  s.session.lock(std::nullopt);
  s.audit.log("RESTORE", *path, "ok (" + std::to_string(result.items) + " keys)");
  return Reply::success(std::to_string(result.items)).refreshingApplication();
}

}  // namespace caskel
