#pragma once

#include <sodium.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/credential_store.h"
#include "platform/vault_keyring.h"

struct sqlite3;
struct sqlite3_stmt;

namespace caskel {

struct VaultOptions {
  // Argon2id cost of a new vault. The program always uses at least the interactive cost;
  // only tests pass lower figures.
  unsigned long long opslimit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
  size_t memlimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;
  // How long a write waits for another connection's lock before it fails.
  int busyTimeoutMs = 5000;
  // Opens the database read-only: every write fails (used to reach failure paths).
  bool readOnly = false;
  // A save into a vault that has no key pair yet asks the shared authenticator, whose prompt
  // creates the vault under a new passphrase. Off: such a save fails with kKeyMaterialUnusable.
  bool createOnFirstSave = true;
  // Runs inside a passphrase change's transaction, just before it commits: tests stop the
  // process there to show that a crash leaves one of the two passphrases working.
  std::function<void()> beforePassphraseCommit;
};

// The encrypted credential store: an SQLite database whose values are sealed boxes of
// (flags, account, value) under the vault's X25519 public key, with the secret key wrapped under
// Argon2id(passphrase). Saving needs only the public key; reading needs an unlocked key.
// Metadata is kept in clear so listings never prompt. Safe to use from many threads.
class Vault : public VaultKeyring, public CredentialStore {
 public:
  explicit Vault(std::string path = defaultPath(), VaultOptions options = {});
  ~Vault() override;
  Vault(const Vault&) = delete;
  Vault& operator=(const Vault&) = delete;

  // <data directory>/vault.db
  static std::string defaultPath();
  const std::string& path() const { return path_; }

  // VaultKeyring. create() over existing key material is refused with `damaged` (never
  // ioError), so a caller that lost a creation race can tell it apart and unlock instead.
  bool exists() override;
  bool canCreate() override;
  Status create(const SecretString& passphrase, std::shared_ptr<const VaultKey>& key) override;
  Status unlock(const SecretString& passphrase, std::shared_ptr<const VaultKey>& key) override;

  // Wraps the secret key of `key` (unlocked from this vault) under `newPassphrase`, with a new
  // salt and this vault's cost, in one transaction: afterwards only the new passphrase opens
  // it, and every value stays readable (the key pair does not change). `damaged` when the
  // stored key pair is not the one of `key`.
  Status changePassphrase(const VaultKey& key, const SecretString& newPassphrase);

  enum class CopyStatus { ok, exists, symlink, notRegular, notWritable, missing, noVault, notVault, ioError };
  // A consistent copy of the vault at `target` (absolute), 0600, still sealed under the
  // passphrase. An existing file is replaced only when `replace`; a symbolic link never is.
  CopyStatus backupTo(const std::string& target, bool replace);
  // Copies `source` to a private file beside the vault and checks that it is a vault (its key
  // record is sound); `staged` is that file's path. The copy is what gets installed, so the
  // source cannot change between the check and the install.
  CopyStatus stageRestore(const std::string& source, std::string& staged);
  // Whether `passphrase` opens the staged vault (`wrongPassphrase` when not).
  Status unlockStaged(const std::string& staged, const SecretString& passphrase);
  // Puts the staged vault in place of this one, keeping the current file as <path>.bak
  // (0600), and closes the connection so the next use opens the restored vault. Keys unlocked
  // from the old vault open nothing in the new one.
  CopyStatus installRestore(const std::string& staged);
  // Number of items in the vault (0 when there is none).
  int itemCount();

  // CredentialStore
  int32_t put(const std::string& service, const std::string& account, std::string_view value,
              const std::optional<std::string>& generic, bool strict) override;
  int32_t copyAttributes(const std::string& service, const std::string& account,
                         CredentialItem& out) override;
  int32_t copyAllAttributes(const std::string& service, std::vector<CredentialItem>& out) override;
  int32_t copyValue(const std::string& service, const std::string& account, AuthContext& context,
                    SealedValue& out) override;
  int32_t copyAllValues(const std::string& service, std::string_view prefix, AuthContext& context,
                        std::map<std::string, SealedValue>& out) override;
  int32_t remove(const std::string& service, const std::string& account) override;

 private:
  struct KeyRecord;
  enum class OpenResult { open, absent, failed };

  OpenResult ensureOpenLocked(bool createFile);
  bool openDatabaseLocked();
  void closeLocked();
  // The connection's prepared statement for `sql`, which must be a string literal; nullptr
  // when it cannot be prepared.
  sqlite3_stmt* preparedLocked(const char* sql);
  int32_t readKeyRecordLocked(std::optional<KeyRecord>& out);
  static int32_t readKeyRecord(sqlite3* db, std::optional<KeyRecord>& out);
  int32_t publicKeyLocked(unsigned char* publicKey);
  int32_t ensureKeyForWrite(const std::string& account);
  int32_t ensureEvaluated(const std::string& reason, AuthContext& context);
  int32_t checkKey(const AuthContext& context);
  void tightenSideFiles();
  void pinPublicKey(const unsigned char* publicKey);

  std::string path_;
  VaultOptions options_;
  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::map<std::string_view, sqlite3_stmt*> statements_;
  // The public key proven by this process's last create or unlock. Saves refuse a stored key
  // that differs from it, so a key swapped into the file cannot collect new values.
  unsigned char pinnedPublicKey_[VaultKey::kPublicKeyBytes] = {};
  bool pinned_ = false;
};

}  // namespace caskel
