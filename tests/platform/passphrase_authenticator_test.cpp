#include "platform/passphrase_authenticator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>

#include "support/fakes.h"

namespace caskel {
namespace {

using namespace std::chrono_literals;

class FakeKeyring : public VaultKeyring {
 public:
  bool exists() override {
    std::lock_guard lock(mutex);
    return !passphrase.empty();
  }
  bool canCreate() override { return creatable; }
  Status create(const SecretString& pass, std::shared_ptr<const VaultKey>& key) override {
    std::lock_guard lock(mutex);
    ++creates;
    passphrase = pass.str();
    return unlockLocked(pass, key);
  }
  Status unlock(const SecretString& pass, std::shared_ptr<const VaultKey>& key) override {
    std::lock_guard lock(mutex);
    return damaged ? Status::damaged : unlockLocked(pass, key);
  }
  Status unlockLocked(const SecretString& pass, std::shared_ptr<const VaultKey>& key) {
    if (pass.str() != passphrase) return Status::wrongPassphrase;
    unsigned char sk[VaultKey::kSecretKeyBytes] = {7}, pk[VaultKey::kPublicKeyBytes] = {9};
    key = VaultKey::create(sk, pk);
    return Status::ok;
  }

  std::mutex mutex;
  std::string passphrase = "right";
  bool creatable = true;
  bool damaged = false;
  int creates = 0;
};

class PassphraseAuthenticatorTest : public ::testing::Test {
 protected:
  PassphraseAuthenticatorTest() { prompt_->defaultAnswer = "right"; }
  AuthOutcome evaluate(const Requester& who, double window = 30) {
    std::shared_ptr<const VaultKey> key;
    AuthOutcome outcome = auth_.evaluate("Read \"acme/KEY\"", who, window, key);
    EXPECT_EQ(outcome == AuthOutcome::success, key != nullptr);
    return outcome;
  }

  std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::time_point{} + 1000h;
  std::shared_ptr<FakeKeyring> keyring_ = std::make_shared<FakeKeyring>();
  std::shared_ptr<test::ListPrompt> prompt_ = std::make_shared<test::ListPrompt>();
  PassphraseAuthenticator auth_{keyring_, prompt_, [this] { return now_; }};
  const Requester agent_{4242, 1700000000.5};
  const Requester terminal_{777, 1700000001.25};
};

TEST_F(PassphraseAuthenticatorTest, ReuseWindowCoversOnlyTheSameRequesterAndOnlyForItsLength) {
  ASSERT_EQ(evaluate(terminal_), AuthOutcome::success);
  now_ += 29s;
  EXPECT_EQ(evaluate(terminal_), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 1);
  // A yes given to the user's terminal is never a yes for the agent.
  EXPECT_EQ(evaluate(agent_), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 2);
  // ...and the window counts from the last real unlock, not from reuses.
  now_ += 20s;
  EXPECT_EQ(evaluate(agent_), AuthOutcome::success);
  now_ += 20s;
  EXPECT_EQ(evaluate(agent_), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 3);
  EXPECT_EQ(evaluate(agent_, 0), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 4);
}

// The same process asking from another terminal, or served as an agent, is another requester;
// and a lock ends the window for everyone.
TEST_F(PassphraseAuthenticatorTest, TerminalAgentnessAndLockEndTheWindow) {
  const Requester asAgent{777, 1700000001.25, 0, true};
  ASSERT_EQ(evaluate(terminal_), AuthOutcome::success);
  EXPECT_EQ(evaluate(Requester{777, 1700000001.25, 34817, false}), AuthOutcome::success);
  EXPECT_EQ(evaluate(asAgent), AuthOutcome::success);
  EXPECT_EQ(evaluate(asAgent), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 3);
  auth_.endReuseWindow();
  EXPECT_EQ(evaluate(asAgent), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 4);
}

TEST_F(PassphraseAuthenticatorTest, LastKeyIsDroppedOnceNoWindowCanCoverIt) {
  std::shared_ptr<const VaultKey> key;
  ASSERT_EQ(auth_.evaluate("r", agent_, 30, key), AuthOutcome::success);
  std::weak_ptr<const VaultKey> weak = std::exchange(key, nullptr);
  EXPECT_FALSE(weak.expired());  // kept for reuse
  now_ += std::chrono::seconds(static_cast<int>(PassphraseAuthenticator::kMaxReuseWindow) + 1);
  // Even a caller asking for a huge window gets no reuse past the limit.
  prompt_->defaultAnswer = "CANCEL";
  EXPECT_EQ(evaluate(agent_, 100000), AuthOutcome::canceled);
  EXPECT_TRUE(weak.expired());
}

TEST_F(PassphraseAuthenticatorTest, ThreeWrongPassphrasesFailWithTheErrorShownOnRetries) {
  prompt_->answers = {"nope1", "nope2", "nope3"};
  EXPECT_EQ(evaluate(agent_), AuthOutcome::failed);
  ASSERT_EQ(prompt_->asked.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const PinentryRequest& r = prompt_->asked[i];
    EXPECT_EQ(r.error, i == 0 ? "" : PassphraseAuthenticator::kWrongPassphraseText);
    EXPECT_EQ(r.description, "Read \"acme/KEY\"");
    EXPECT_FALSE(r.repeat);
    EXPECT_EQ((r.title + r.description + r.prompt + r.error).find("nope"), std::string::npos);  // no echo
  }
  // A failure opens no reuse window; the right one on a later evaluation succeeds.
  EXPECT_EQ(evaluate(agent_), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 4);
}

TEST_F(PassphraseAuthenticatorTest, CancelUnavailableAndDamagedVaultAreTheirOwnOutcomes) {
  prompt_->answers = {"wrong", "CANCEL", "UNAVAILABLE"};
  EXPECT_EQ(evaluate(agent_), AuthOutcome::canceled);
  EXPECT_EQ(evaluate(agent_), AuthOutcome::unavailable);
  keyring_->damaged = true;
  EXPECT_EQ(evaluate(agent_), AuthOutcome::keyUnusable);
}

TEST_F(PassphraseAuthenticatorTest, NewVaultAsksTwiceAndRefusesAnEmptyPassphrase) {
  keyring_->passphrase.clear();
  prompt_->answers = {"", "fresh"};
  EXPECT_EQ(evaluate(agent_), AuthOutcome::success);
  ASSERT_EQ(prompt_->asked.size(), 2u);
  EXPECT_TRUE(prompt_->asked[0].repeat);
  EXPECT_EQ(prompt_->asked[0].description,
            std::string("Read \"acme/KEY\"\n\n") + PassphraseAuthenticator::kNewVaultText);
  EXPECT_EQ(prompt_->asked[0].error, "");
  EXPECT_EQ(prompt_->asked[1].error, PassphraseAuthenticator::kEmptyPassphraseText);
  EXPECT_EQ(keyring_->creates, 1);
  EXPECT_EQ(keyring_->passphrase, "fresh");

  keyring_->passphrase.clear();
  prompt_->answers = {"", "", ""};
  EXPECT_EQ(evaluate(terminal_), AuthOutcome::failed);
  EXPECT_EQ(keyring_->creates, 1);
}

TEST_F(PassphraseAuthenticatorTest, CanEvaluateNeedsAPromptAndAVault) {
  EXPECT_TRUE(auth_.canEvaluate());
  keyring_->passphrase.clear();
  EXPECT_TRUE(auth_.canEvaluate());
  keyring_->creatable = false;
  EXPECT_FALSE(auth_.canEvaluate());
  keyring_->passphrase = "right";
  prompt_->isAvailable = false;
  EXPECT_FALSE(auth_.canEvaluate());
}

TEST_F(PassphraseAuthenticatorTest, ConcurrentEvaluationsShowOnePromptAtATime) {
  prompt_->holdFor = 30ms;
  std::vector<std::thread> threads;
  std::atomic<int> successes{0};
  // Four requesters, then four callers of one requester: whoever waits behind the first
  // prompt of that one reuses its answer.
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      if (evaluate(i < 4 ? Requester{100 + i, 1.0} : Requester{500, 2.0}) == AuthOutcome::success)
        ++successes;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(successes, 8);
  EXPECT_EQ(prompt_->maxOpen, 1);
  EXPECT_GE(prompt_->count(), 5);
}

}  // namespace
}  // namespace caskel
