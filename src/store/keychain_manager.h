#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
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

  // Creates or replaces the item. Never prompts. Metadata given: used as is; absent: the current
  // metadata is kept. The peek is always computed from the value (none for a strict secret),
  // and the strict flag is sealed with the value.
  KeychainStatus save(const std::string& account, std::string_view value,
                      const std::optional<SecretMetadata>& metadata) const;
  // Needs authentication through `context`; null means a fresh context (which prompts).
  // `strict`, when given and the read succeeds, receives the item's effective strictness: its
  // sealed flag or its clear metadata, so an edit of the clear metadata never downgrades it.
  Result<SecretString> readValue(const std::string& account, AuthContext* context,
                                 bool* strict = nullptr) const;
  // Never prompts. Nothing when the item is missing or its metadata does not decode.
  std::optional<SecretMetadata> readMetadata(const std::string& account, AuthContext* context = nullptr) const;
  // Values of all items (or only those under `prefix`) with one authentication; empty on failure.
  // `strictAccounts`, when given, gains every returned account that is effectively strict.
  std::map<std::string, SecretString> readAllValues(AuthContext& context, std::string_view prefix = {},
                                                    std::set<std::string>* strictAccounts = nullptr) const;
  // Sorted by account in byte order; empty on any failure. Never reads values.
  std::vector<SecretInfo> listSecrets(AuthContext* context, bool nonInteractive) const;
  // The same listing, telling an empty vault (or none yet: an empty list) from one that
  // cannot be read (an error).
  Result<std::vector<SecretInfo>> tryListSecrets() const;
  // Replaces the metadata of an existing secret, keeping its value (which it reads, so it
  // needs authentication; null context means a fresh one). Metadata without a strict field
  // keeps the secret's effective strictness; only an explicit false lifts it.
  KeychainStatus updateMetadata(const std::string& account, const SecretMetadata& metadata,
                                AuthContext* context) const;
  // A missing item is success.
  KeychainStatus deleteItem(const std::string& account) const;
  // Re-seals every item (as after a change of vault key), keeping its effective strictness:
  // (migrated, found).
  std::pair<int, int> migrateAccessControl(AuthContext& context) const;

 private:
  std::string service_;
  std::shared_ptr<CredentialStore> store_;
};

}  // namespace caskel
