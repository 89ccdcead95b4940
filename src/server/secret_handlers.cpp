#include "server/secret_handlers.h"

#include "audit/audit_logger.h"
#include "server/agent_handoff.h"
#include "server/command_support.h"
#include "session/session_manager.h"
#include "base/key_path.h"

namespace caskel {

namespace {

// "ls" asks the store without a prompt first, and with one only when that found nothing.
constexpr bool kWithoutPrompt = true;
constexpr bool kMayPrompt = false;

Reply replyWithValue(const Request& r, const std::string& account, const SecretString& value) {
  // Agents get the value only as an encrypted fragment, whatever path it came by.
  WrappedValue wrapped = agentWrap(account, value.view(), r.caller.treatedAsAgent());
  Reply reply = Reply::success(wrapped.value, std::move(wrapped.extra));
  sodium_memzero(wrapped.value.data(), wrapped.value.size());
  return reply;
}

}  // namespace

Reply handleSet(const Request& r) {
  auto account = r.string("account");
  auto valueIt = r.body.find("value");
  if (!account || valueIt == r.body.end() || !valueIt->is_string()) return Reply::failure("Missing account or value");
  // Folder-like and bare names would be stored but could never be read back or loaded with
  // their folder.
  if (!isFullKeyPath(*account)) return Reply::failure(notFullKeyText(*account));
  SecretString value(valueIt->get_ref<const std::string&>());
  ServerServices& s = r.services;
  const auto& caller = r.caller;
  bool unlocked = s.session.isUnlocked(*account, caller.binding());
  bool wasStrict = isStrict(s.keychain.readMetadata(*account));
  auto metadata = requestMetadata(r.body);
  if (dropsStrict(wasStrict, metadata)) {
    // The prompt names the downgrade itself, not just the store.
    if (auto refusal = strictRemovalRefusal(r, *account)) return Reply::failure(*refusal);
  } else if (!unlocked || wasStrict) {
    if (auto refusal = promptRefusal(r, "Store \"" + shownKey(*account) + "\" — " + r.callerDescription())) {
      return Reply::failure(*refusal);
    }
  }
  if (KeychainStatus err = s.keychain.save(*account, value.view(), metadata)) {
    s.audit.log("SET", *account, "error");
    return Reply::failure(err->errorDescription());
  }
  // Absent request metadata keeps the item's own, strict flag included.
  bool nowStrict = metadata ? metadata->strict.value_or(false) : wasStrict;
  if (nowStrict) {
    // A strict value never sits in a session cache, whoever holds the session.
    s.session.removeFromCache(*account);
  } else {
    s.session.cacheIfOwnSession(*account, caller.binding(), value);
  }
  s.audit.log("SET", *account, "ok");
  return Reply::success(peekReply(value.view())).refreshingApplication();
}

Reply handleGet(const Request& r) {
  // Raw output asked of an agent is refused before anything is read or anyone is asked.
  if (r.string("output") && r.caller.treatedAsAgent()) return Reply::failure(kRawOutputRefused);
  auto account = r.string("account");
  if (!account) return Reply::failure("Missing account");
  if (!isFullKeyPath(*account)) return Reply::failure(notFullKeyText(*account));
  ServerServices& s = r.services;
  const auto& caller = r.caller;
  const SessionBinding binding = caller.binding();

  if (!isStrict(s.keychain.readMetadata(*account))) {
    if (auto cached = s.session.cachedValue(*account, binding)) {
      s.audit.log("GET", *account, "ok (cached)");
      return replyWithValue(r, *account, *cached);
    }
  }
  std::string prefix = account->substr(0, account->rfind('/') + 1);
  UnlockResult unlocked = s.session.unlock(prefix, s.session.timeout(prefix), binding, r.callerDescription());
  if (!unlocked.unlocked()) {
    s.audit.log("GET", *account, unlocked.unavailableReason.empty() ? "auth_canceled" : "auth_unavailable");
    return Reply::failure(refusalText(unlocked));
  }
  if (unlocked.count > 0) {
    if (auto cached = s.session.cachedValue(*account, binding)) {
      s.audit.log("GET", *account, "ok");
      return replyWithValue(r, *account, *cached);
    }
  }
  if (!unlocked.context) {
    s.audit.log("GET", *account, "auth_failed");
    return Reply::failure("Authentication failed");
  }
  if (!isStrict(s.keychain.readMetadata(*account))) {
    bool sealedStrict = false;
    auto value = s.keychain.readValue(*account, unlocked.context.get(), &sealedStrict);
    if (!value) {
      s.audit.log("GET", *account, "error");
      return Reply::failure(value.error().errorDescription());
    }
    // Strict by its sealed flag although its clear metadata says otherwise (edited in the
    // file): it still takes a prompt of its own and stays out of the cache.
    if (!sealedStrict) {
      s.session.storeInCache(*account, binding, value.value());
      s.audit.log("GET", *account, "ok");
      return replyWithValue(r, *account, value.value());
    }
  }
  // A strict secret costs a prompt of its own and is never cached.
  AuthContext fresh;
  fresh.setRequester(requesterOf(caller));
  AuthOutcome outcome = fresh.canEvaluate()
                            ? fresh.evaluate("Read strict secret \"" + shownKey(*account) + "\" — " + r.callerDescription())
                            : AuthOutcome::unavailable;
  if (outcome != AuthOutcome::success) {
    s.audit.log("GET", *account, "error");
    return Reply::failure(refusalText(fresh));
  }
  auto value = s.keychain.readValue(*account, &fresh);
  if (!value) {
    s.audit.log("GET", *account, "error");
    return Reply::failure(value.error().errorDescription());
  }
  s.audit.log("GET", *account, "ok (strict)");
  return replyWithValue(r, *account, value.value());
}

Reply handlePeek(const Request& r) {
  auto account = r.string("account");
  if (!account) return Reply::failure("Missing account");
  ServerServices& s = r.services;
  auto metadata = s.keychain.readMetadata(*account);
  if (!metadata) {
    PromptResult prompt = promptWithContext(r, "Peek at \"" + shownKey(*account) + "\" — " + r.callerDescription());
    if (prompt.outcome != AuthOutcome::success) {
      std::string refusal = refusalText(*prompt.context);
      // A prompt that could not be evaluated for want of a vault, not of a prompt program.
      if (!prompt.couldEvaluate && refusal == KeychainError::authenticationCanceled().errorDescription()) {
        return Reply::failure("Authentication unavailable");
      }
      return Reply::failure(refusal);
    }
    metadata = s.keychain.readMetadata(*account, prompt.context.get());
  }
  if (!metadata || !metadata->peek) return Reply::failure("No peek data — re-save the secret to generate it");
  std::string peek = *metadata->peek;
  // A stored peek is always shorter than its value: the dots say so.
  peek += "...";
  return Reply::success(peek);
}

Reply handleDelete(const Request& r) {
  auto account = r.string("account");
  if (!account) return Reply::failure("Missing account");
  ServerServices& s = r.services;
  bool strict = isStrict(s.keychain.readMetadata(*account));
  bool unlocked = s.session.isUnlocked(*account, r.caller.binding());
  if (!unlocked || strict) {
    if (auto refusal = promptRefusal(r, "Delete \"" + shownKey(*account) + "\" — " + r.callerDescription())) {
      return Reply::failure(*refusal);
    }
  }
  if (KeychainStatus err = s.keychain.deleteItem(*account)) {
    s.audit.log("DELETE", *account, "error");
    return Reply::failure(err->errorDescription());
  }
  s.session.removeFromCache(*account);
  s.audit.log("DELETE", *account, "ok");
  return Reply::success().refreshingApplication();
}

Reply handleList(const Request& r) {
  ServerServices& s = r.services;
  // A vault that cannot be read is an error, never "no items".
  Result<std::vector<SecretInfo>> listed = s.keychain.tryListSecrets();
  if (!listed) return Reply::failure(listed.error().errorDescription());
  std::vector<SecretInfo> secrets = std::move(listed.value());
  // "no_prompt": the caller (the guard hook) would rather have an empty list than a prompt.
  auto noPrompt = r.body.find("no_prompt");
  bool mayPrompt = noPrompt == r.body.end() || !noPrompt->is_boolean() || !noPrompt->get<bool>();
  if (secrets.empty() && mayPrompt) {
    PromptResult prompt = promptWithContext(r, "List secrets — " + r.callerDescription());
    // Without the yes, an empty answer would claim an empty vault nobody could open.
    if (prompt.outcome != AuthOutcome::success) return Reply::failure(refusalText(*prompt.context));
    secrets = s.keychain.listSecrets(prompt.context.get(), kMayPrompt);
  }
  nlohmann::json accounts = nlohmann::json::array();
  for (const auto& info : secrets) {
    nlohmann::json entry = {{"account", info.account}};
    if (info.metadata) {
      const SecretMetadata& m = *info.metadata;
      if (m.type) entry["type"] = *m.type;
      if (m.bundle) entry["bundle"] = *m.bundle;
      if (m.desc) entry["desc"] = *m.desc;
      if (m.expires) entry["expires"] = *m.expires;
      if (m.peek) entry["peek"] = *m.peek;
      if (m.rotate) entry["rotate"] = *m.rotate;
      // Listings mark strict keys, so the person sees which reads will always ask, and the tool
      // keeps the flag when it rewrites an item's metadata ("set" with flags).
      if (m.strict.value_or(false)) entry["strict"] = true;
    }
    accounts.push_back(std::move(entry));
  }
  return Reply::object({{"ok", true}, {"accounts", std::move(accounts)}});
}

}  // namespace caskel
