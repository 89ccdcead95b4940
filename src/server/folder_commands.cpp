#include "server/folder_commands.h"

#include <algorithm>
#include <cmath>

#include "audit/audit_logger.h"
#include "server/command_support.h"
#include "server/response_writer.h"
#include "session/session_manager.h"
#include "store/key_path.h"

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

void handleMeta(const Request& r) {
  auto account = r.string("account");
  if (!account) {
    sendResponse(r.fd, false, std::nullopt, "Missing account");
    return;
  }
  ServerServices& s = r.services;
  const auto& caller = r.caller;
  std::string prefix = sessionPrefixOf(*account);
  std::shared_ptr<AuthContext> context;
  bool sealedStrict = false;
  if (!s.session.isBound(*account, caller.binding())) {
    UnlockResult unlocked = s.session.unlock(prefix, s.session.timeout(prefix), caller.binding(), r.callerDescription());
    if (unlocked.count < 0) {
      sendResponse(r.fd, false, std::nullopt, "Authentication canceled");
      return;
    }
    if (!unlocked.context) {
      sendResponse(r.fd, false, std::nullopt, "Authentication failed");
      return;
    }
    context = unlocked.context;
  } else {
    PromptResult prompt =
        promptWithContext(r, "Update metadata for \"" + shownKey(*account) + "\" — " + r.callerDescription());
    if (prompt.outcome != AuthOutcome::success) {
      sendResponse(r.fd, false, std::nullopt, "Authentication canceled");
      return;
    }
    context = prompt.context;
  }
  SecretMetadata existing = s.keychain.readMetadata(*account, context.get()).value_or(SecretMetadata{});
  auto value = s.keychain.readValue(*account, context.get(), &sealedStrict);
  if (!value) {
    sendResponse(r.fd, false, std::nullopt, value.error().errorDescription());
    return;
  }
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
  if (dropsStrict(wasStrict, updated) && !confirmStrictRemoval(r, *account)) {
    sendResponse(r.fd, false, std::nullopt, "Authentication canceled");
    return;
  }
  if (KeychainStatus err = s.keychain.save(*account, value.value().view(), updated)) {
    sendResponse(r.fd, false, std::nullopt, err->errorDescription());
    return;
  }
  // A key made strict must not be served from a session any more.
  if (updated.strict.value_or(false)) s.session.removeFromCache(*account);
  sendResponse(r.fd, true);
  if (s.refreshApplication) s.refreshApplication(context);
}

void handleUnlock(const Request& r) {
  auto prefix = r.string("prefix");
  if (!prefix) {
    sendResponse(r.fd, false, std::nullopt, "Missing prefix");
    return;
  }
  std::string normalized = normalizePrefix(*prefix);
  double timeout = positiveNumber(r.body, "timeout").value_or(SessionManager::kDefaultTimeout);
  ServerServices& s = r.services;
  UnlockResult unlocked = s.session.unlock(normalized, timeout, r.caller.binding(), r.callerDescription());
  if (unlocked.count < 0) {
    s.audit.log("UNLOCK", normalized, "auth_canceled");
    sendResponse(r.fd, false, std::nullopt, "Authentication canceled");
    return;
  }
  s.audit.log("UNLOCK", normalized, "ok (" + std::to_string(unlocked.count) + " keys)");
  sendResponse(r.fd, true, std::to_string(unlocked.count));
}

void handleLock(const Request& r) {
  ServerServices& s = r.services;
  if (auto prefix = r.string("prefix")) {
    std::string normalized = normalizePrefix(*prefix);
    s.audit.log("LOCK", normalized, "ok");
    s.session.lock(normalized);
  } else {
    s.audit.log("LOCK", "(all)", "ok");
    s.session.lock(std::nullopt);
  }
  sendResponse(r.fd, true);
}

void handleSession(const Request& r) {
  nlohmann::json unlocked = nlohmann::json::array();
  for (const auto& entry : r.services.session.sessionStatus()) {
    unlocked.push_back({{"prefix", entry.prefix}, {"count", entry.count}});
  }
  sendObject(r.fd, {{"ok", true}, {"unlocked", std::move(unlocked)}});
}

void handleConfig(const Request& r) {
  std::string action = r.string("action").value_or("get");
  ServerServices& s = r.services;
  if (action == "set") {
    if (auto prefix = r.string("prefix")) {
      s.session.setTimeout(*prefix, positiveNumber(r.body, "timeout"));
      sendResponse(r.fd, true);
      return;
    }
  }
  nlohmann::json timeouts = nlohmann::json::array();
  for (const auto& [prefix, seconds] : s.session.prefixTimeouts()) {
    // The file is input like any other: a huge number must not overflow the conversion.
    double clamped = std::isfinite(seconds) ? std::clamp(seconds, -9.0e18, 9.0e18) : 0.0;
    timeouts.push_back({{"prefix", prefix}, {"timeout", static_cast<int64_t>(clamped)}});
  }
  sendObject(r.fd, {{"ok", true},
                    {"default_timeout", static_cast<int64_t>(SessionManager::kDefaultTimeout)},
                    {"timeouts", std::move(timeouts)}});
}

}  // namespace

void registerFolderCommands(RequestHandler& handler) {
  handler.registerCommand("meta", handleMeta);
  handler.registerCommand("unlock", handleUnlock);
  handler.registerCommand("lock", handleLock);
  handler.registerCommand("session", handleSession);
  handler.registerCommand("config", handleConfig);
}

}  // namespace caskel
