#include "server/folder_handlers.h"

#include <algorithm>
#include <cmath>

#include "audit/audit_logger.h"
#include "server/command_support.h"
#include "session/session_manager.h"
#include "base/key_path.h"

namespace caskel {

namespace {

// A JSON number greater than zero, else nothing.
std::optional<double> positiveNumber(const nlohmann::json& body, const char* key) {
  auto it = body.find(key);
  if (it == body.end() || !it->is_number()) return std::nullopt;
  double v = it->get<double>();
  if (!std::isfinite(v) || v <= 0) return std::nullopt;
  return v;
}

// Whether any item's key starts with `prefix`, from the listing that needs no prompt.
bool holdsAnyKey(const KeychainManager& keychain, const std::string& prefix) {
  for (const SecretInfo& info : keychain.listSecrets(nullptr, true)) {
    if (hasTextPrefix(info.account, prefix)) return true;
  }
  return false;
}

}  // namespace

Reply handleMeta(const Request& r) {
  auto account = r.string("account");
  if (!account) return Reply::failure("Missing account");
  if (!isFullKeyPath(*account)) return Reply::failure(notFullKeyText(*account));
  ServerServices& s = r.services;
  const auto& caller = r.caller;
  std::string prefix = sessionPrefixOf(*account);
  std::shared_ptr<AuthContext> context;
  bool sealedStrict = false;
  if (!s.session.isBound(*account, caller.binding())) {
    UnlockResult unlocked = s.session.unlock(prefix, s.session.timeout(prefix), caller.binding(), r.callerDescription());
    if (!unlocked.unlocked()) return Reply::failure(refusalText(unlocked));
    if (!unlocked.context) return Reply::failure("Authentication failed");
    context = unlocked.context;
  } else {
    PromptResult prompt =
        promptWithContext(r, "Update metadata for \"" + shownKey(*account) + "\" — " + r.callerDescription());
    if (prompt.outcome != AuthOutcome::success) return Reply::failure(refusalText(*prompt.context));
    context = prompt.context;
  }
  SecretMetadata existing = s.keychain.readMetadata(*account, context.get()).value_or(SecretMetadata{});
  auto value = s.keychain.readValue(*account, context.get(), &sealedStrict);
  if (!value) return Reply::failure(value.error().errorDescription());
  // The sealed flag wins over clear metadata that was edited to drop it.
  const bool wasStrict = sealedStrict || existing.strict.value_or(false);
  if (wasStrict) existing.strict = true;
  SecretMetadata updated = existing;
  auto requested = requestMetadata(r.body);
  if (requested) {
    auto merge = [](std::optional<std::string>& field, const std::optional<std::string>& given) {
      if (!given) return;
      // An empty text clears the field.
      field = given->empty() ? std::nullopt : given;
    };
    merge(updated.type, requested->type);
    merge(updated.bundle, requested->bundle);
    merge(updated.desc, requested->desc);
    merge(updated.expires, requested->expires);
    merge(updated.rotate, requested->rotate);
    if (requested->strict) updated.strict = requested->strict;
  }
  if (dropsStrict(wasStrict, updated)) {
    if (auto refusal = strictRemovalRefusal(r, *account)) return Reply::failure(*refusal);
  }
  if (KeychainStatus err = s.keychain.save(*account, value.value().view(), updated)) {
    return Reply::failure(err->errorDescription());
  }
  // A key made strict must not be served from a session any more.
  if (updated.strict.value_or(false)) s.session.removeFromCache(*account);
  return Reply::success().refreshingApplication(context);
}

Reply handleUnlock(const Request& r) {
  auto prefix = r.string("prefix");
  if (!prefix) return Reply::failure("Missing prefix");
  std::string normalized = normalizePrefix(*prefix);
  double timeout = positiveNumber(r.body, "timeout").value_or(SessionManager::kDefaultTimeout);
  ServerServices& s = r.services;
  // A session over nothing would only tell the person that something was unlocked. The bulk
  // import opens one over the folder it is about to fill, and says so.
  auto allowEmpty = r.body.find("allow_empty");
  const bool mayBeEmpty = allowEmpty != r.body.end() && allowEmpty->is_boolean() && allowEmpty->get<bool>();
  if (!mayBeEmpty && !holdsAnyKey(s.keychain, normalized)) {
    return Reply::failure("No secrets under " + normalized + " — nothing to unlock");
  }
  UnlockResult unlocked = s.session.unlock(normalized, timeout, r.caller.binding(), r.callerDescription());
  if (!unlocked.unlocked()) {
    s.audit.log("UNLOCK", normalized,
                unlocked.unavailableReason.empty() ? "auth_canceled" : "auth_unavailable");
    return Reply::failure(refusalText(unlocked));
  }
  s.audit.log("UNLOCK", normalized, "ok (" + std::to_string(unlocked.count) + " keys)");
  return Reply::success(std::to_string(unlocked.count));
}

Reply handleLock(const Request& r) {
  ServerServices& s = r.services;
  if (auto prefix = r.string("prefix")) {
    std::string normalized = normalizePrefix(*prefix);
    s.audit.log("LOCK", normalized, "ok");
    s.session.lock(normalized);
  } else {
    s.audit.log("LOCK", "(all)", "ok");
    s.session.lock(std::nullopt);
  }
  return Reply::success();
}

Reply handleSession(const Request& r) {
  nlohmann::json unlocked = nlohmann::json::array();
  for (const auto& entry : r.services.session.sessionStatus()) {
    unlocked.push_back({{"prefix", entry.prefix}, {"count", entry.count}});
  }
  return Reply::object({{"ok", true}, {"unlocked", std::move(unlocked)}});
}

Reply handleConfig(const Request& r) {
  std::string action = r.string("action").value_or("get");
  ServerServices& s = r.services;
  if (action == "set") {
    if (auto prefix = r.string("prefix")) {
      s.session.setTimeout(*prefix, positiveNumber(r.body, "timeout"));
      return Reply::success();
    }
  }
  nlohmann::json timeouts = nlohmann::json::array();
  for (const auto& [prefix, seconds] : s.session.prefixTimeouts()) {
    // The file is input like any other: a huge number must not overflow the conversion.
    double clamped = std::isfinite(seconds) ? std::clamp(seconds, -9.0e18, 9.0e18) : 0.0;
    timeouts.push_back({{"prefix", prefix}, {"timeout", static_cast<int64_t>(clamped)}});
  }
  return Reply::object({{"ok", true},
                        {"default_timeout", static_cast<int64_t>(SessionManager::kDefaultTimeout)},
                        {"timeouts", std::move(timeouts)}});
}

}  // namespace caskel
