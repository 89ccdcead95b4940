#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/auth_context.h"
#include "platform/credential_store.h"
#include "platform/passphrase_prompt.h"
#include "support/test_env.h"

namespace caskel::test {

// An authenticator that answers from a script instead of asking a person, and records every
// reason it was asked with. Honors the reuse window per requester like the real one.
class FakeAuthenticator : public Authenticator, Guarded {
 public:
  FakeAuthenticator();
  bool canEvaluate() override {
    return locked([&] { return available_; });
  }
  AuthOutcome evaluate(const std::string& reason, const Requester& requester, double reuseWindow,
                       std::shared_ptr<const VaultKey>& key) override;

  // Answers used in order; when none is left, success.
  void queue(AuthOutcome outcome) {
    locked([&] { queued_.push_back(outcome); });
  }
  void setAvailable(bool available) {
    locked([&] { available_ = available; });
  }
  // The key a successful evaluation hands out (by default a dummy pair that opens nothing).
  void setKey(std::shared_ptr<const VaultKey> key) {
    locked([&] { key_ = std::move(key); });
  }
  std::vector<std::string> reasons() const {
    return locked([&] { return reasons_; });
  }
  int promptCount() const { return static_cast<int>(reasons().size()); }
  // Ends the reuse window of the last success, so that a test's own yes stands for nothing.
  void forgetLastSuccess() {
    locked([&] { haveLast_ = false; });
  }

 private:
  std::deque<AuthOutcome> queued_;
  bool available_ = true;
  std::vector<std::string> reasons_;
  std::shared_ptr<const VaultKey> key_;
  bool haveLast_ = false;
  Requester lastRequester_;
  double lastSuccess_ = 0;
};

// An in-memory credential store with the real one's rules: writes never prompt, value reads
// evaluate an unevaluated context (or fail with kInteractionNotAllowed).
class MemoryCredentialStore : public CredentialStore, Guarded {
 public:
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

  // Makes every write fail with `status` (0 to stop), to reach store-error paths.
  void failWrites(int32_t status) {
    locked([&] { failWrites_ = status; });
  }
  // Raw access for tests: the stored metadata text, the flag sealed with the value (nothing, as
  // in items sealed before it) and the value itself, without any authentication.
  void setGeneric(const std::string& service, const std::string& account,
                  const std::optional<std::string>& generic) {
    locked([&] { items_[{service, account}].generic = generic; });
  }
  void setSealedStrict(const std::string& service, const std::string& account, std::optional<bool> strict) {
    locked([&] { items_[{service, account}].strict = strict; });
  }
  std::optional<std::string> rawValue(const std::string& service, const std::string& account) const;
  int valueReads() const {
    return locked([&] { return valueReads_; });
  }

 private:
  struct Item {
    std::string value;
    std::optional<std::string> generic;
    std::optional<bool> strict;
  };
  std::map<std::pair<std::string, std::string>, Item> items_;
  int32_t failWrites_ = 0;
  int valueReads_ = 0;
};

// A passphrase prompt that answers from a list, then with `defaultAnswer`, and records every
// question. "CANCEL" cancels, "UNAVAILABLE" gives no answer, "GONE" gives none with the reason a
// pinentry that died gives; anything else is typed. With `holdFor` each prompt stays on screen
// until another opens or the time is up, so that `maxOpen` shows whether prompts overlapped.
class ListPrompt : public PassphrasePrompt, Guarded {
 public:
  bool available() override { return isAvailable; }
  PinentryReply getPassphrase(const PinentryRequest& request) override;
  int count() const {
    return locked([&] { return static_cast<int>(asked.size()); });
  }

  std::deque<std::string> answers;
  std::string defaultAnswer = "UNAVAILABLE";
  std::vector<PinentryRequest> asked;
  bool isAvailable = true;
  std::chrono::milliseconds holdFor{0};
  int maxOpen = 0;

 private:
  std::condition_variable changed_;
  int open_ = 0;
};

}  // namespace caskel::test
