#include "platform/vault_admin.h"

#include <unistd.h>

#include "platform/database_copy.h"
#include "platform/passphrase_authenticator.h"

namespace caskel {

namespace {

std::mutex sharedMutex;
std::shared_ptr<VaultAdmin>& sharedAdmin() {
  static std::shared_ptr<VaultAdmin> instance;
  return instance;
}

VaultAdmin::Status statusOf(Vault::CopyStatus status) {
  using C = Vault::CopyStatus;
  using S = VaultAdmin::Status;
  switch (status) {
    case C::ok:
      return S::ok;
    case C::exists:
      return S::exists;
    case C::symlink:
      return S::symlink;
    case C::notRegular:
      return S::notRegular;
    case C::notWritable:
      return S::notWritable;
    case C::missing:
      return S::missing;
    case C::noVault:
      return S::noVault;
    case C::notVault:
      return S::notVault;
    case C::ioError:
      break;
  }
  return S::ioError;
}

VaultAdmin::Status statusOf(VaultKeyring::Status status) {
  switch (status) {
    case VaultKeyring::Status::ok:
      return VaultAdmin::Status::ok;
    case VaultKeyring::Status::wrongPassphrase:
      return VaultAdmin::Status::wrongPassphrase;
    case VaultKeyring::Status::missing:
      return VaultAdmin::Status::noVault;
    case VaultKeyring::Status::damaged:
      return VaultAdmin::Status::damaged;
    case VaultKeyring::Status::ioError:
      break;
  }
  return VaultAdmin::Status::ioError;
}

// Removes a staged file however the restore ends.
struct StagedFile {
  std::string path;
  ~StagedFile() {
    if (!path.empty()) ::unlink(path.c_str());
  }
};

}  // namespace

VaultAdmin::VaultAdmin(std::shared_ptr<Vault> vault, std::shared_ptr<PassphrasePrompt> prompt)
    : vault_(std::move(vault)), prompt_(std::move(prompt)) {}

std::shared_ptr<VaultAdmin> VaultAdmin::shared() {
  std::lock_guard lock(sharedMutex);
  return sharedAdmin();
}

void VaultAdmin::setShared(std::shared_ptr<VaultAdmin> admin) {
  std::lock_guard lock(sharedMutex);
  sharedAdmin() = std::move(admin);
}

void VaultAdmin::setUnavailableObserver(std::function<void(const std::string&)> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

bool VaultAdmin::vaultExists() {
  return vault_ && vault_->exists();
}

PinentryReply VaultAdmin::ask(const PinentryRequest& request, Result& result) {
  PinentryReply reply = prompt_ ? prompt_->getPassphrase(request) : PinentryReply{};
  if (reply.status == PinentryReply::Status::canceled) {
    result.status = Status::canceled;
  } else if (reply.status == PinentryReply::Status::unavailable) {
    result.status = Status::unavailable;
    result.reason =
        reply.reason.empty() ? std::string("the passphrase prompt could not be shown") : reply.reason;
    if (observer_) observer_(result.reason);
  }
  return reply;
}

VaultAdmin::Result VaultAdmin::changePassphrase(const std::string& description) {
  std::lock_guard lock(mutex_);
  Result result;
  if (!vault_ || !vault_->exists()) return Result{Status::noVault};

  PinentryRequest current;
  current.description = description + "\n\nEnter the current passphrase.";
  current.prompt = "Current passphrase:";
  std::shared_ptr<const VaultKey> key;
  for (int attempt = 0; !key; ++attempt) {
    if (attempt == kMaxTries) return Result{Status::wrongPassphrase};
    current.error = attempt == 0 ? std::string() : std::string(PassphraseAuthenticator::kWrongPassphraseText);
    PinentryReply reply = ask(current, result);
    if (reply.status != PinentryReply::Status::ok) return result;
    VaultKeyring::Status unlocked = vault_->unlock(reply.pin, key);
    if (unlocked != VaultKeyring::Status::ok && unlocked != VaultKeyring::Status::wrongPassphrase) {
      return Result{statusOf(unlocked)};
    }
  }

  // Typed twice, like the passphrase of a new vault: a typo here would lock the person out.
  PinentryRequest fresh;
  fresh.description = description + "\n\n" + kNewPassphraseNote;
  fresh.prompt = "New passphrase:";
  fresh.repeat = true;
  for (int attempt = 0;; ++attempt) {
    if (attempt == kMaxTries) return Result{Status::canceled};
    PinentryReply reply = ask(fresh, result);
    if (reply.status != PinentryReply::Status::ok) return result;
    if (reply.pin.empty()) {
      fresh.error = PassphraseAuthenticator::kEmptyPassphraseText;
      continue;
    }
    return Result{statusOf(vault_->changePassphrase(*key, reply.pin))};
  }
}

VaultAdmin::Status VaultAdmin::checkBackupTarget(const std::string& target, bool replace) {
  if (!vaultExists()) return Status::noVault;
  using Checked = database_copy::Result;
  // The same checks the backup makes again when it writes.
  switch (database_copy::checkTarget(target, replace)) {
    case Checked::ok:
      return Status::ok;
    case Checked::exists:
      return Status::exists;
    case Checked::symlink:
      return Status::symlink;
    case Checked::notRegular:
      return Status::notRegular;
    case Checked::notWritable:
      return Status::notWritable;
    default:
      return Status::ioError;
  }
}

VaultAdmin::Result VaultAdmin::backup(const std::string& target, bool replace) {
  std::lock_guard lock(mutex_);
  if (!vault_) return Result{Status::noVault};
  return Result{statusOf(vault_->backupTo(target, replace))};
}

VaultAdmin::Result VaultAdmin::restore(const std::string& source, const std::string& description) {
  std::lock_guard lock(mutex_);
  Result result;
  if (!vault_) return Result{Status::ioError};
  StagedFile staged;
  if (Vault::CopyStatus s = vault_->stageRestore(source, staged.path); s != Vault::CopyStatus::ok) {
    return Result{statusOf(s)};
  }
  PinentryRequest request;
  request.description = description;
  request.prompt = "Backup passphrase:";
  for (int attempt = 0;; ++attempt) {
    if (attempt == kMaxTries) return Result{Status::wrongPassphrase};
    request.error = attempt == 0 ? std::string() : std::string(PassphraseAuthenticator::kWrongPassphraseText);
    PinentryReply reply = ask(request, result);
    if (reply.status != PinentryReply::Status::ok) return result;
    VaultKeyring::Status opened = vault_->unlockStaged(staged.path, reply.pin);
    if (opened == VaultKeyring::Status::ok) break;
    if (opened != VaultKeyring::Status::wrongPassphrase) return Result{Status::notVault};
  }
  if (Vault::CopyStatus s = vault_->installRestore(staged.path); s != Vault::CopyStatus::ok) {
    return Result{statusOf(s)};
  }
  staged.path.clear();  // it is the vault now
  result.status = Status::ok;
  result.items = vault_->itemCount();
  return result;
}

}  // namespace caskel
