#include "server/rotate_handler.h"

#include <memory>

#include "audit/audit_logger.h"
#include "base/key_path.h"
#include "server/backup_timers.h"
#include "server/command_support.h"
#include "session/session_manager.h"

namespace caskel {

Reply handleRotate(const Request& r) {
  auto account = r.string("account");
  if (!account) return Reply::failure("Missing account");
  if (!isFullKeyPath(*account)) return Reply::failure(notFullKeyText(*account));
  auto valueIt = r.body.find("value");
  if (valueIt == r.body.end() || !valueIt->is_string() || valueIt->get_ref<const std::string&>().empty()) {
    return Reply::failure("Missing new value");
  }
  SecretString newValue(valueIt->get_ref<const std::string&>());
  ServerServices& s = r.services;

  // The old value is read under a prompt of its own; sessions are not consulted.
  AuthContext fresh;
  fresh.setRequester(requesterOf(r.caller));
  if (fresh.canEvaluate() &&
      fresh.evaluate("Rotate \"" + shownKey(*account) + "\" — " + r.callerDescription()) != AuthOutcome::success) {
    return Reply::failure("Failed to read old value: " + refusalText(fresh));
  }
  bool sealedStrict = false;
  auto oldValue = s.keychain.readValue(*account, &fresh, &sealedStrict);
  if (!oldValue) return Reply::failure("Failed to read old value: " + oldValue.error().errorDescription());
  const bool wasStrict = sealedStrict || isStrict(s.keychain.readMetadata(*account));
  auto metadata = requestMetadata(r.body);
  if (wasStrict && !metadata) {
    // Kept metadata comes from the clear copy, which may have been edited: keep strict.
    metadata = s.keychain.readMetadata(*account).value_or(SecretMetadata{});
    metadata->strict = true;
  }
  if (dropsStrict(wasStrict, metadata)) {
    if (auto refusal = strictRemovalRefusal(r, *account)) return Reply::failure(*refusal);
  }
  const std::string backupKey = *account + "_OLD";
  SecretMetadata backup;
  backup.type = "rotated_backup";
  backup.desc = "Auto-saved by rotate. Will expire in 1h.";
  // The old value is the same secret: its backup must not be easier to read.
  if (wasStrict) backup.strict = true;
  if (KeychainStatus err = s.keychain.save(backupKey, oldValue.value().view(), backup)) {
    return Reply::failure("Failed to backup old value: " + err->errorDescription());
  }
  // A session must not go on serving an earlier backup under the same name.
  s.session.removeFromCache(backupKey);
  KeychainManager keychain = s.keychain;
  SessionManager* session = &s.session;
  auto refresh = s.refreshApplication;
  s.backupTimers.schedule(s.clientQueue, backupKey, s.backupLifetime, [keychain, session, refresh, backupKey] {
    keychain.deleteItem(backupKey);
    session->removeFromCache(backupKey);
    if (refresh) refresh(nullptr);
  });

  if (KeychainStatus err = s.keychain.save(*account, newValue.view(), metadata)) {
    s.audit.log("ROTATE", *account, "error");
    return Reply::failure("Failed to store new value: " + err->errorDescription());
  }
  if (isStrict(s.keychain.readMetadata(*account))) {
    s.session.removeFromCache(*account);
  } else {
    s.session.replaceIfCached(*account, newValue);
  }
  s.audit.log("ROTATE", *account, "ok");
  return Reply::success(peekReply(newValue.view())).refreshingApplication();
}

}  // namespace caskel
