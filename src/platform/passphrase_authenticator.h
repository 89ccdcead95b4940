#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/auth_context.h"
#include "platform/passphrase_prompt.h"
#include "platform/vault_keyring.h"

namespace caskel {

// The real user-presence service: the vault passphrase, asked through a PassphrasePrompt.
// The right passphrase unlocks the vault's key, which is the proof of presence. With no vault
// yet, the first evaluation creates one under a new passphrase typed twice.
class PassphraseAuthenticator : public Authenticator {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // The longest reuse window any caller passes (the quick-access panel's five minutes); the
  // last unlocked key is not kept beyond it.
  static constexpr double kMaxReuseWindow = 300;
  static constexpr int kMaxTries = 3;

  static constexpr const char* kWrongPassphraseText = "Wrong passphrase \xE2\x80\x94 try again";
  static constexpr const char* kEmptyPassphraseText = "The passphrase must not be empty";
  static constexpr const char* kNewVaultText =
      "A new Caskel vault is being created. This passphrase will protect it; it cannot be recovered if you "
      "forget it.";

  PassphraseAuthenticator(std::shared_ptr<VaultKeyring> keyring, std::shared_ptr<PassphrasePrompt> prompt,
                          Clock clock = {});

  bool canEvaluate() override;
  AuthOutcome evaluate(const std::string& reason, const Requester& requester, double reuseWindow,
                       std::shared_ptr<const VaultKey>& key) override;
  AuthOutcome evaluateOrExplain(const std::string& reason, const Requester& requester, double reuseWindow,
                                std::shared_ptr<const VaultKey>& key, std::string& whyUnavailable) override;
  std::string unavailableReason() override;
  void endReuseWindow() override;

  // Told, on the asking thread, every time a prompt turns out unavailable, with the reason.
  using UnavailableObserver = std::function<void(const std::string&)>;
  void setUnavailableObserver(UnavailableObserver observer);

 private:
  bool reuseLocked(const Requester& requester, double reuseWindow, std::shared_ptr<const VaultKey>& key);
  AuthOutcome createVault(const std::string& reason, std::shared_ptr<const VaultKey>& key, std::string& why);
  AuthOutcome unlockVault(const std::string& reason, std::shared_ptr<const VaultKey>& key, std::string& why);

  std::shared_ptr<VaultKeyring> keyring_;
  std::shared_ptr<PassphrasePrompt> prompt_;
  Clock clock_;
  std::mutex promptMutex_;  // held across a prompt: one on screen at a time
  std::mutex stateMutex_;   // guards the fields below; never held across a prompt
  std::shared_ptr<const VaultKey> lastKey_;
  Requester lastRequester_;
  std::chrono::steady_clock::time_point lastUnlock_{};
  UnavailableObserver unavailableObserver_;
};

}  // namespace caskel
