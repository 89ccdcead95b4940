#include "server/rotate_command.h"

#include <memory>

#include "audit/audit_logger.h"
#include "server/backup_timers.h"
#include "server/command_support.h"
#include "server/response_writer.h"
#include "session/session_manager.h"

namespace caskel {

namespace {

void handleRotate(const Request& r, BackupTimers& timers, double backupLifetime) {
  auto account = r.string("account");
  if (!account) {
    sendResponse(r.fd, false, std::nullopt, "Missing account");
    return;
  }
  auto valueIt = r.body.find("value");
  if (valueIt == r.body.end() || !valueIt->is_string() || valueIt->get_ref<const std::string&>().empty()) {
    sendResponse(r.fd, false, std::nullopt, "Missing new value");
    return;
  }
  SecretString newValue(valueIt->get_ref<const std::string&>());
  ServerServices& s = r.services;

  // The old value is read under a prompt of its own; sessions are not consulted.
  AuthContext fresh;
  fresh.setRequester(requesterOf(r.caller));
  if (fresh.canEvaluate() &&
      fresh.evaluate("Rotate \"" + shownKey(*account) + "\" — " + r.callerDescription()) != AuthOutcome::success) {
    sendResponse(r.fd, false, std::nullopt,
                 "Failed to read old value: " + KeychainError::authenticationCanceled().errorDescription());
    return;
  }
  bool sealedStrict = false;
  auto oldValue = s.keychain.readValue(*account, &fresh, &sealedStrict);
  if (!oldValue) {
    sendResponse(r.fd, false, std::nullopt, "Failed to read old value: " + oldValue.error().errorDescription());
    return;
  }
  const bool wasStrict = sealedStrict || isStrict(s.keychain.readMetadata(*account));
  auto metadata = requestMetadata(r.body);
  if (wasStrict && !metadata) {
    // Kept metadata comes from the clear copy, which may have been edited: keep strict.
    metadata = s.keychain.readMetadata(*account).value_or(SecretMetadata{});
    metadata->strict = true;
  }
  if (dropsStrict(wasStrict, metadata) && !confirmStrictRemoval(r, *account)) {
    sendResponse(r.fd, false, std::nullopt, KeychainError::authenticationCanceled().errorDescription());
    return;
  }
  const std::string backupKey = *account + "_OLD";
  SecretMetadata backup;
  backup.type = "rotated_backup";
  backup.desc = "Auto-saved by rotate. Will expire in 1h.";
  // The old value is the same secret: its backup must not be easier to read.
  if (wasStrict) backup.strict = true;
  if (KeychainStatus err = s.keychain.save(backupKey, oldValue.value().view(), backup)) {
    sendResponse(r.fd, false, std::nullopt, "Failed to backup old value: " + err->errorDescription());
    return;
  }
  // A session must not go on serving an earlier backup under the same name.
  s.session.removeFromCache(backupKey);
  KeychainManager keychain = s.keychain;
  SessionManager* session = &s.session;
  auto refresh = s.refreshApplication;
  timers.schedule(s.clientQueue, backupKey, backupLifetime, [keychain, session, refresh, backupKey] {
    keychain.deleteItem(backupKey);
    session->removeFromCache(backupKey);
    if (refresh) refresh(nullptr);
  });

  if (KeychainStatus err = s.keychain.save(*account, newValue.view(), metadata)) {
    s.audit.log("ROTATE", *account, "error");
    sendResponse(r.fd, false, std::nullopt, "Failed to store new value: " + err->errorDescription());
    return;
  }
  if (isStrict(s.keychain.readMetadata(*account))) {
    s.session.removeFromCache(*account);
  } else {
    s.session.replaceIfCached(*account, newValue);
  }
  s.audit.log("ROTATE", *account, "ok");
  sendResponse(r.fd, true, peekReply(newValue.view()));
  if (s.refreshApplication) s.refreshApplication(nullptr);
}

}  // namespace

void registerRotateCommand(RequestHandler& handler, double backupLifetime) {
  auto timers = std::make_shared<BackupTimers>();
  handler.registerCommand("rotate", [timers, backupLifetime](const Request& r) {
    handleRotate(r, *timers, backupLifetime);
  });
}

}  // namespace caskel
