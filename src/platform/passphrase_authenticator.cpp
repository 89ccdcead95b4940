#include "platform/passphrase_authenticator.h"

#include <algorithm>

namespace caskel {

namespace {
// A prompt that could not be had is no answer, not a no: its reason goes along.
AuthOutcome outcomeOf(const PinentryReply& reply, std::string& why) {
  if (reply.status == PinentryReply::Status::canceled) return AuthOutcome::canceled;
  why = reply.reason.empty() ? std::string("the passphrase prompt could not be shown") : reply.reason;
  return AuthOutcome::unavailable;
}
}  // namespace

PassphraseAuthenticator::PassphraseAuthenticator(std::shared_ptr<VaultKeyring> keyring,
                                                 std::shared_ptr<PassphrasePrompt> prompt, Clock clock)
    : keyring_(std::move(keyring)), prompt_(std::move(prompt)), clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
}

bool PassphraseAuthenticator::canEvaluate() {
  if (!keyring_ || !prompt_ || !prompt_->available()) return false;
  return keyring_->exists() || keyring_->canCreate();
}

bool PassphraseAuthenticator::reuseLocked(const Requester& requester, double reuseWindow,
                                          std::shared_ptr<const VaultKey>& key) {
  if (!lastKey_) return false;
  double age = std::chrono::duration<double>(clock_() - lastUnlock_).count();
  // Dropped lazily: nobody may reuse it any more, so it should not stay in memory.
  if (age > kMaxReuseWindow || age < 0) {
    lastKey_.reset();
    return false;
  }
  if (reuseWindow <= 0 || !(requester == lastRequester_)) return false;
  if (age > std::min(reuseWindow, kMaxReuseWindow)) return false;
  key = lastKey_;
  return true;
}

std::string PassphraseAuthenticator::unavailableReason() {
  if (!prompt_) return "no passphrase prompt is set up";
  return prompt_->unavailableReason();
}

void PassphraseAuthenticator::setUnavailableObserver(UnavailableObserver observer) {
  std::lock_guard state(stateMutex_);
  unavailableObserver_ = std::move(observer);
}

AuthOutcome PassphraseAuthenticator::evaluate(const std::string& reason, const Requester& requester,
                                              double reuseWindow, std::shared_ptr<const VaultKey>& key) {
  std::string why;
  return evaluateOrExplain(reason, requester, reuseWindow, key, why);
}

AuthOutcome PassphraseAuthenticator::evaluateOrExplain(const std::string& reason, const Requester& requester,
                                                       double reuseWindow,
                                                       std::shared_ptr<const VaultKey>& key,
                                                       std::string& whyUnavailable) {
  key.reset();
  if (!keyring_ || !prompt_) {
    whyUnavailable = "no passphrase prompt is set up";
    return AuthOutcome::unavailable;
  }
  {
    std::lock_guard state(stateMutex_);
    if (reuseLocked(requester, reuseWindow, key)) return AuthOutcome::success;
  }
  std::lock_guard turn(promptMutex_);
  // Another evaluation may have unlocked for this requester while we waited our turn.
  {
    std::lock_guard state(stateMutex_);
    if (reuseLocked(requester, reuseWindow, key)) return AuthOutcome::success;
  }
  std::shared_ptr<const VaultKey> unlocked;
  AuthOutcome outcome = AuthOutcome::keyUnusable;
  if (keyring_->exists()) {
    outcome = unlockVault(reason, unlocked, whyUnavailable);
  } else if (keyring_->canCreate()) {
    outcome = createVault(reason, unlocked, whyUnavailable);
  }
  // (Neither: a vault file is there but unreadable. Asking for a new passphrase would be a lie.)
  if (outcome == AuthOutcome::unavailable) {
    UnavailableObserver observer;
    {
      std::lock_guard state(stateMutex_);
      observer = unavailableObserver_;
    }
    if (observer) observer(whyUnavailable);
  }
  if (outcome != AuthOutcome::success) return outcome;
  if (!unlocked) return AuthOutcome::keyUnusable;
  {
    std::lock_guard state(stateMutex_);
    lastKey_ = unlocked;
    lastRequester_ = requester;
    lastUnlock_ = clock_();
  }
  key = std::move(unlocked);
  return AuthOutcome::success;
}

void PassphraseAuthenticator::endReuseWindow() {
  std::lock_guard state(stateMutex_);
  lastKey_.reset();
  lastRequester_ = Requester{};
}

AuthOutcome PassphraseAuthenticator::createVault(const std::string& reason,
                                                 std::shared_ptr<const VaultKey>& key, std::string& why) {
  PinentryRequest request;
  request.description = reason.empty() ? std::string(kNewVaultText) : reason + "\n\n" + kNewVaultText;
  request.prompt = "New passphrase:";
  request.repeat = true;
  for (int attempt = 0; attempt < kMaxTries; ++attempt) {
    PinentryReply reply = prompt_->getPassphrase(request);
    if (reply.status != PinentryReply::Status::ok) return outcomeOf(reply, why);
    if (reply.pin.empty()) {
      request.error = kEmptyPassphraseText;
      continue;
    }
    VaultKeyring::Status status = keyring_->create(reply.pin, key);
    if (status == VaultKeyring::Status::ok) return AuthOutcome::success;
    // Another process created the vault meanwhile: its passphrase, not this one, opens it.
    if (keyring_->exists() && status != VaultKeyring::Status::ioError) return unlockVault(reason, key, why);
    return AuthOutcome::keyUnusable;
  }
  return AuthOutcome::failed;
}

AuthOutcome PassphraseAuthenticator::unlockVault(const std::string& reason,
                                                 std::shared_ptr<const VaultKey>& key, std::string& why) {
  PinentryRequest request;
  request.description = reason;
  for (int attempt = 0; attempt < kMaxTries; ++attempt) {
    request.error = attempt == 0 ? std::string() : std::string(kWrongPassphraseText);
    PinentryReply reply = prompt_->getPassphrase(request);
    if (reply.status != PinentryReply::Status::ok) return outcomeOf(reply, why);
    switch (keyring_->unlock(reply.pin, key)) {
      case VaultKeyring::Status::ok:
        return AuthOutcome::success;
      case VaultKeyring::Status::wrongPassphrase:
        break;
      case VaultKeyring::Status::missing:
      case VaultKeyring::Status::damaged:
      case VaultKeyring::Status::ioError:
        return AuthOutcome::keyUnusable;
    }
  }
  return AuthOutcome::failed;
}

}  // namespace caskel
