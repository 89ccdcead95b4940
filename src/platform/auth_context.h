#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace caskel {

// Who asked for an authentication: a caller process (resolved pid and start time, the
// terminal it asked from, whether it is served as an agent), or the application itself
// (pid 0). A recent yes given to one requester is never a yes for another.
struct Requester {
  int32_t pid = 0;
  double startTime = 0;
  int32_t terminal = 0;
  bool agent = false;
  bool operator==(const Requester&) const = default;
};

enum class AuthOutcome {
  success,
  canceled,      // the user canceled the prompt
  failed,        // three wrong passphrases
  unavailable,   // no prompt program could be run (missing, crashed, timed out)
  notAllowed,    // interaction not allowed on this context
  keyUnusable,   // the vault's key material is damaged
};

// The vault's unlocked key pair (X25519), kept in libsodium guarded memory and wiped on release.
class VaultKey {
 public:
  static constexpr size_t kSecretKeyBytes = 32;
  static constexpr size_t kPublicKeyBytes = 32;
  // Copies both keys into guarded memory; nothing when guarded memory cannot be had.
  static std::shared_ptr<const VaultKey> create(const unsigned char* secretKey, const unsigned char* publicKey);
  ~VaultKey();
  VaultKey(const VaultKey&) = delete;
  VaultKey& operator=(const VaultKey&) = delete;
  const unsigned char* secretKey() const { return secret_; }
  const unsigned char* publicKey() const { return public_; }

 private:
  VaultKey() = default;
  unsigned char* secret_ = nullptr;  // sodium_malloc'd, read-only once filled
  unsigned char public_[kPublicKeyBytes] = {};
};

// The process's user-presence service: asks the person at the machine (pinentry) for the
// vault passphrase. One prompt is on screen at a time; concurrent evaluations wait their turn
// and re-check the reuse window when it comes.
class Authenticator {
 public:
  virtual ~Authenticator() = default;
  // A prompt program can be run and the vault exists or can be created.
  virtual bool canEvaluate() = 0;
  // Blocks until the user answered. On success `key` holds the unlocked vault key. With
  // `reuseWindow` > 0, a success for the same requester within that many seconds stands
  // without a new prompt.
  virtual AuthOutcome evaluate(const std::string& reason, const Requester& requester, double reuseWindow,
                               std::shared_ptr<const VaultKey>& key) = 0;
  // The same, and on `unavailable` why no prompt could be shown, in words for the person.
  virtual AuthOutcome evaluateOrExplain(const std::string& reason, const Requester& requester,
                                        double reuseWindow, std::shared_ptr<const VaultKey>& key,
                                        std::string& whyUnavailable) {
    AuthOutcome outcome = evaluate(reason, requester, reuseWindow, key);
    if (outcome == AuthOutcome::unavailable) {
      whyUnavailable = unavailableReason();
      if (whyUnavailable.empty()) whyUnavailable = "the passphrase prompt could not be shown";
    }
    return outcome;
  }
  // Why no prompt can be shown now; empty when one can (or when it is not for want of one).
  virtual std::string unavailableReason() {
    return canEvaluate() ? std::string() : "no passphrase prompt is set up";
  }
  // Ends the reuse window: the next evaluation prompts whoever asks (after a lock).
  virtual void endReuseWindow() {}

  // The process-wide instance (set at start-up by the program, by tests to a fake).
  static std::shared_ptr<Authenticator> shared();
  static void setShared(std::shared_ptr<Authenticator> authenticator);
};

// An authentication context carried into store reads: after a successful evaluate() it holds
// the unlocked vault key until destroyed, so later reads through it need no prompt.
class AuthContext {
 public:
  AuthContext();  // with Authenticator::shared()
  explicit AuthContext(std::shared_ptr<Authenticator> authenticator);

  void setReuseDuration(double seconds) { reuseDuration_ = seconds; }
  double reuseDuration() const { return reuseDuration_; }
  void setInteractionNotAllowed(bool value) { interactionNotAllowed_ = value; }
  bool interactionNotAllowed() const { return interactionNotAllowed_; }
  void setRequester(const Requester& requester) { requester_ = requester; }
  const Requester& requester() const { return requester_; }

  bool canEvaluate() const;
  // Prompts with `reason` (unless the reuse window covers it). notAllowed when interaction
  // is not allowed.
  AuthOutcome evaluate(const std::string& reason);
  bool isEvaluated() const { return key_ != nullptr; }
  // The outcome of the last evaluate(), and why it was `unavailable`; before any, why
  // canEvaluate() is false.
  AuthOutcome lastOutcome() const { return lastOutcome_; }
  std::string unavailableReason() const;
  const std::shared_ptr<const VaultKey>& key() const { return key_; }

 private:
  std::shared_ptr<Authenticator> authenticator_;
  std::shared_ptr<const VaultKey> key_;
  Requester requester_;
  double reuseDuration_ = 0;
  bool interactionNotAllowed_ = false;
  AuthOutcome lastOutcome_ = AuthOutcome::unavailable;
  std::string whyUnavailable_;
};

}  // namespace caskel
