#include "support/fakes.h"

#include <algorithm>
#include <chrono>

#include "store/keychain_error.h"

namespace caskel::test {

namespace {
double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int32_t ensureEvaluated(const std::string& account, AuthContext& context) {
  if (context.isEvaluated()) return status::kSuccess;
  if (context.interactionNotAllowed()) return status::kInteractionNotAllowed;
  return statusForOutcome(context.evaluate("Read \"" + account + "\""));
}
}  // namespace

FakeAuthenticator::FakeAuthenticator() {
  unsigned char sk[VaultKey::kSecretKeyBytes] = {1};
  unsigned char pk[VaultKey::kPublicKeyBytes] = {2};
  key_ = VaultKey::create(sk, pk);
}

AuthOutcome FakeAuthenticator::evaluate(const std::string& reason, const Requester& requester,
                                        double reuseWindow, std::shared_ptr<const VaultKey>& key) {
  std::lock_guard lock(mutex_);
  if (!available_) return AuthOutcome::unavailable;
  if (reuseWindow > 0 && haveLast_ && lastRequester_ == requester &&
      monotonicSeconds() - lastSuccess_ <= reuseWindow) {
    key = key_;
    return AuthOutcome::success;
  }
  reasons_.push_back(reason);
  AuthOutcome outcome = AuthOutcome::success;
  if (!queued_.empty()) {
    outcome = queued_.front();
    queued_.pop_front();
  }
  if (outcome == AuthOutcome::success) {
    key = key_;
    haveLast_ = true;
    lastRequester_ = requester;
    lastSuccess_ = monotonicSeconds();
  }
  return outcome;
}

int32_t MemoryCredentialStore::put(const std::string& service, const std::string& account,
                                   std::string_view value, const std::optional<std::string>& generic,
                                   bool strict) {
  std::lock_guard lock(mutex_);
  if (failWrites_ != 0) return failWrites_;
  items_[{service, account}] = Item{std::string(value), generic, strict};
  return status::kSuccess;
}

int32_t MemoryCredentialStore::copyAttributes(const std::string& service, const std::string& account,
                                              CredentialItem& out) {
  std::lock_guard lock(mutex_);
  auto it = items_.find({service, account});
  if (it == items_.end()) return status::kItemNotFound;
  out = CredentialItem{account, it->second.generic};
  return status::kSuccess;
}

int32_t MemoryCredentialStore::copyAllAttributes(const std::string& service,
                                                 std::vector<CredentialItem>& out) {
  std::lock_guard lock(mutex_);
  out.clear();
  for (auto& [k, item] : items_) {
    if (k.first == service) out.push_back(CredentialItem{k.second, item.generic});
  }
  return out.empty() ? status::kItemNotFound : status::kSuccess;
}

// A missing item is reported before any prompt, as the real store does.
int32_t MemoryCredentialStore::copyValue(const std::string& service, const std::string& account,
                                         AuthContext& context, SealedValue& out) {
  if (!rawValue(service, account)) return status::kItemNotFound;
  if (int32_t s = ensureEvaluated(account, context); s != status::kSuccess) return s;
  std::lock_guard lock(mutex_);
  auto it = items_.find({service, account});
  if (it == items_.end()) return status::kItemNotFound;
  ++valueReads_;
  out = SealedValue{SecretString(it->second.value), it->second.strict};
  return status::kSuccess;
}

int32_t MemoryCredentialStore::copyAllValues(const std::string& service, std::string_view prefix,
                                             AuthContext& context, std::map<std::string, SealedValue>& out) {
  if (int32_t s = ensureEvaluated(std::string(prefix), context); s != status::kSuccess) return s;
  std::lock_guard lock(mutex_);
  out.clear();
  for (auto& [k, item] : items_) {
    if (k.first != service || !k.second.starts_with(prefix)) continue;
    ++valueReads_;
    out.emplace(k.second, SealedValue{SecretString(item.value), item.strict});
  }
  return status::kSuccess;
}

int32_t MemoryCredentialStore::remove(const std::string& service, const std::string& account) {
  std::lock_guard lock(mutex_);
  if (failWrites_ != 0) return failWrites_;
  return items_.erase({service, account}) ? status::kSuccess : status::kItemNotFound;
}

std::optional<std::string> MemoryCredentialStore::rawValue(const std::string& service,
                                                           const std::string& account) const {
  std::lock_guard lock(mutex_);
  auto it = items_.find({service, account});
  if (it == items_.end()) return std::nullopt;
  return it->second.value;
}

PinentryReply ListPrompt::getPassphrase(const PinentryRequest& request) {
  std::unique_lock lock(mutex_);
  asked.push_back(request);
  maxOpen = std::max(maxOpen, ++open_);
  changed_.notify_all();
  changed_.wait_for(lock, holdFor, [&] { return open_ > 1; });
  --open_;
  std::string answer = defaultAnswer;
  if (!answers.empty()) {
    answer = answers.front();
    answers.pop_front();
  }
  PinentryReply reply;
  if (answer == "CANCEL") {
    reply.status = PinentryReply::Status::canceled;
  } else if (answer == "GONE") {
    reply.reason = "pinentry exited without answering";
  } else if (answer != "UNAVAILABLE") {
    reply.status = PinentryReply::Status::ok;
    reply.pin = SecretString(answer);
  }
  return reply;
}

}  // namespace caskel::test
