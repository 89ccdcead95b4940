#include "platform/credential_store.h"

#include <mutex>

#include "base/status_code.h"

namespace caskel {

namespace {
std::mutex sharedMutex;
std::shared_ptr<CredentialStore>& sharedStore() {
  static std::shared_ptr<CredentialStore> instance;
  return instance;
}
}  // namespace

std::shared_ptr<CredentialStore> CredentialStore::shared() {
  std::lock_guard lock(sharedMutex);
  return sharedStore();
}

void CredentialStore::setShared(std::shared_ptr<CredentialStore> store) {
  std::lock_guard lock(sharedMutex);
  sharedStore() = std::move(store);
}

int32_t statusForOutcome(AuthOutcome outcome) {
  switch (outcome) {
    case AuthOutcome::success:
      return status::kSuccess;
    case AuthOutcome::canceled:
      return status::kUserCanceled;
    case AuthOutcome::failed:
      return status::kAuthFailed;
    case AuthOutcome::keyUnusable:
      return status::kKeyMaterialUnusable;
    case AuthOutcome::unavailable:
    case AuthOutcome::notAllowed:
      break;
  }
  return status::kInteractionNotAllowed;
}

}  // namespace caskel
