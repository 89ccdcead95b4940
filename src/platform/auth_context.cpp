#include "platform/auth_context.h"

#include <sodium.h>

#include <cstring>
#include <mutex>

namespace caskel {

namespace {
std::mutex sharedMutex;
std::shared_ptr<Authenticator>& sharedAuthenticator() {
  static std::shared_ptr<Authenticator> instance;
  return instance;
}
}  // namespace

std::shared_ptr<const VaultKey> VaultKey::create(const unsigned char* secretKey, const unsigned char* publicKey) {
  if (sodium_init() < 0) return nullptr;
  auto* secret = static_cast<unsigned char*>(sodium_malloc(kSecretKeyBytes));
  if (!secret) return nullptr;
  std::memcpy(secret, secretKey, kSecretKeyBytes);
  // Read-only from here on: a stray write becomes a crash instead of a corrupted key.
  sodium_mprotect_readonly(secret);
  std::shared_ptr<VaultKey> key(new VaultKey());
  key->secret_ = secret;
  std::memcpy(key->public_, publicKey, kPublicKeyBytes);
  return key;
}

VaultKey::~VaultKey() {
  // sodium_free wipes the guarded region before releasing it.
  if (secret_) sodium_free(secret_);
}

std::shared_ptr<Authenticator> Authenticator::shared() {
  std::lock_guard lock(sharedMutex);
  return sharedAuthenticator();
}

void Authenticator::setShared(std::shared_ptr<Authenticator> authenticator) {
  std::lock_guard lock(sharedMutex);
  sharedAuthenticator() = std::move(authenticator);
}

AuthContext::AuthContext() : authenticator_(Authenticator::shared()) {}

AuthContext::AuthContext(std::shared_ptr<Authenticator> authenticator) : authenticator_(std::move(authenticator)) {}

bool AuthContext::canEvaluate() const { return authenticator_ && authenticator_->canEvaluate(); }

AuthOutcome AuthContext::evaluate(const std::string& reason) {
  whyUnavailable_.clear();
  if (interactionNotAllowed_) return lastOutcome_ = AuthOutcome::notAllowed;
  if (!authenticator_) return lastOutcome_ = AuthOutcome::unavailable;
  std::shared_ptr<const VaultKey> key;
  AuthOutcome outcome =
      authenticator_->evaluateOrExplain(reason, requester_, reuseDuration_, key, whyUnavailable_);
  if (outcome == AuthOutcome::success) {
    if (!key) return lastOutcome_ = AuthOutcome::keyUnusable;
    key_ = std::move(key);
  }
  return lastOutcome_ = outcome;
}

std::string AuthContext::unavailableReason() const {
  if (!whyUnavailable_.empty()) return whyUnavailable_;
  if (!authenticator_) return "no passphrase prompt is set up";
  return authenticator_->unavailableReason();
}

}  // namespace caskel
