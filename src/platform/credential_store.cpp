#include "platform/credential_store.h"

#include <mutex>

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

}  // namespace caskel
