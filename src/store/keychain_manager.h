#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/auth_context.h"
#include "platform/credential_store.h"
#include "platform/secret_string.h"
#include "store/keychain_error.h"
#include "store/secret_metadata.h"

namespace caskel {

// The only door to persistent secrets. A small value (service name + the platform store it
// talks to), cheap to copy; holds no mutable state and may be used from any thread.
class KeychainManager {
 public:
  explicit KeychainManager(std::string service, std::shared_ptr<CredentialStore> store = CredentialStore::shared());

  const std::string& service() const { return service_; }

  // Creates or replaces the item. Never prompts. Metadata given: used as is, with the default
  // peek when it has none. Absent: the current metadata is kept and its peek refreshed.
  KeychainStatus save(const std::string& account, std::string_view value,
                      const std::optional<SecretMetadata>& metadata) const;
  // Needs authentication through `context`; null means a fresh context (which prompts).
  Result<SecretString> readValue(const std::string& account, AuthContext* context) const;
  // Never prompts. Nothing when the item is missing or its metadata does not decode.
  std::optional<SecretMetadata> readMetadata(const std::string& account, AuthContext* context = nullptr) const;
  // Values of all items (or only those under `prefix`) with one authentication; empty on failure.
  std::map<std::string, SecretString> readAllValues(AuthContext& context, std::string_view prefix = {}) const;
  // Sorted by account in byte order; empty on any failure. Never reads values.
  std::vector<SecretInfo> listSecrets(AuthContext* context, bool nonInteractive) const;
  // Replaces the metadata of an existing secret, keeping its value (which it reads, so it
  // needs authentication; null context means a fresh one).
  KeychainStatus updateMetadata(const std::string& account, const SecretMetadata& metadata,
                                AuthContext* context) const;
  // A missing item is success.
  KeychainStatus deleteItem(const std::string& account) const;
  // Re-seals every item (as after a change of vault key): (migrated, found).
  std::pair<int, int> migrateAccessControl(AuthContext& context) const;

 private:
  std::string service_;
  std::shared_ptr<CredentialStore> store_;
};

}  // namespace caskel
