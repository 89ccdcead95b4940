#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/passphrase_prompt.h"
#include "platform/vault.h"

namespace caskel {

// What the person does to the vault as a whole: a new passphrase, a backup copy, a restore.
// The passphrases involved are asked here, through the prompt, never taken from a request;
// who asks must be said in the descriptions the caller passes. One operation at a time.
class VaultAdmin {
 public:
  enum class Status {
    ok,
    canceled,         // the person said no
    unavailable,      // no prompt could be shown (see `reason`)
    wrongPassphrase,  // three wrong passphrases
    noVault,          // there is no vault yet
    exists,           // the target file is there (and replacing it was not asked for)
    symlink,          // a symbolic link at the path, never followed
    notRegular,       // a directory, device or FIFO at the path
    notWritable,      // the target's directory cannot be written
    missing,          // the file to restore from does not exist
    notVault,         // the file to restore from is not a Caskel vault
    damaged,          // the vault's key record does not match its key
    ioError,
  };
  struct Result {
    Result() = default;
    Result(Status s) : status(s) {}  // NOLINT(google-explicit-constructor): a bare status is a result
    Status status = Status::ioError;
    std::string reason;  // why no prompt could be shown, for `unavailable`
    int items = 0;       // the restored vault's item count, for a restore
  };

  static constexpr int kMaxTries = 3;
  static constexpr const char* kNewPassphraseNote =
      "Choose the new passphrase. It protects the vault from now on; it cannot be recovered if you forget "
      "it.";

  VaultAdmin(std::shared_ptr<Vault> vault, std::shared_ptr<PassphrasePrompt> prompt);

  bool vaultExists();
  // Asks the current passphrase (up to three tries), then the new one twice, and re-wraps the
  // vault's key under it. `description` says what is done and for whom.
  Result changePassphrase(const std::string& description);
  // Whether a backup could be written at `target` now (checked before the person is asked).
  Status checkBackupTarget(const std::string& target, bool replace);
  // Writes the backup; the caller has had the person's yes.
  Result backup(const std::string& target, bool replace);
  // Checks that `source` is a vault, asks its passphrase (up to three tries) and puts it in
  // place of the vault, keeping the old one as vault.db.bak.
  Result restore(const std::string& source, const std::string& description);

  // Told, on the asking thread, whenever a prompt turns out unavailable.
  void setUnavailableObserver(std::function<void(const std::string&)> observer);

  // The process-wide instance (set at start-up; none in tests that do not need one).
  static std::shared_ptr<VaultAdmin> shared();
  static void setShared(std::shared_ptr<VaultAdmin> admin);

 private:
  // One passphrase from the person; the reply's status, with the reason kept on `unavailable`.
  PinentryReply ask(const PinentryRequest& request, Result& result);

  std::shared_ptr<Vault> vault_;
  std::shared_ptr<PassphrasePrompt> prompt_;
  std::function<void(const std::string&)> observer_;
  std::mutex mutex_;  // one operation at a time
};

}  // namespace caskel
