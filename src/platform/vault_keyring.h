#pragma once

#include <memory>

#include "platform/auth_context.h"
#include "platform/secret_string.h"

namespace caskel {

// The vault's key material as the authenticator sees it: whether a vault exists, creating one
// under a new passphrase, and unwrapping its secret key with a passphrase.
class VaultKeyring {
 public:
  enum class Status { ok, wrongPassphrase, missing, damaged, ioError };
  virtual ~VaultKeyring() = default;
  virtual bool exists() = 0;
  // Whether a vault could be created now (its directory can be made and written).
  virtual bool canCreate() { return true; }
  // Creates the vault (key pair wrapped under Argon2id(passphrase)); `key` is the new key.
  virtual Status create(const SecretString& passphrase, std::shared_ptr<const VaultKey>& key) = 0;
  virtual Status unlock(const SecretString& passphrase, std::shared_ptr<const VaultKey>& key) = 0;
};

}  // namespace caskel
