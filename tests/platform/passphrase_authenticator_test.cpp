#include "platform/passphrase_authenticator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <thread>
#include <utility>

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

// Answers from a queue (then with defaultAnswer) and records each request; tracks how many
// prompts are open at once.
class FakePrompt : public PassphrasePrompt {
 public:
  bool available() override { return isAvailable; }
  PinentryReply getPassphrase(const PinentryRequest& request) override {
    std::unique_lock lock(mutex);
    requests.push_back(request);
    maxOpen = std::max(maxOpen, ++open);
    // Stay on screen a moment so that a second, concurrent prompt would overlap this one.
    changed.notify_all();
    changed.wait_for(lock, holdFor, [&] { return open > 1; });
    --open;
    std::string answer = answers.empty() ? defaultAnswer : answers.front();
    if (!answers.empty()) answers.pop_front();
    PinentryReply reply;
    reply.status = answer == "CANCEL"        ? PinentryReply::Status::canceled
                   : answer == "UNAVAILABLE" ? PinentryReply::Status::unavailable
                                             : PinentryReply::Status::ok;
    if (reply.status == PinentryReply::Status::ok) reply.pin = SecretString(answer);
    return reply;
  }
  int count() {
    std::lock_guard lock(mutex);
    return static_cast<int>(requests.size());
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> answers;
  std::string defaultAnswer = "right";
  std::vector<PinentryRequest> requests;
  bool isAvailable = true;
  int open = 0;
  int maxOpen = 0;
  std::chrono::milliseconds holdFor{0};
};

class PassphraseAuthenticatorTest : public ::testing::Test {
 protected:
  AuthOutcome evaluate(const Requester& who, double window = 30) {
    std::shared_ptr<const VaultKey> key;
    AuthOutcome outcome = auth_.evaluate("Read \"acme/KEY\"", who, window, key);
    EXPECT_EQ(outcome == AuthOutcome::success, key != nullptr);
    return outcome;
  }

  std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::time_point{} + 1000h;
  std::shared_ptr<FakeKeyring> keyring_ = std::make_shared<FakeKeyring>();
  std::shared_ptr<FakePrompt> prompt_ = std::make_shared<FakePrompt>();
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
  ASSERT_EQ(prompt_->requests.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const PinentryRequest& r = prompt_->requests[i];
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
  ASSERT_EQ(prompt_->requests.size(), 2u);
  EXPECT_TRUE(prompt_->requests[0].repeat);
  EXPECT_EQ(prompt_->requests[0].description,
            std::string("Read \"acme/KEY\"\n\n") + PassphraseAuthenticator::kNewVaultText);
  EXPECT_EQ(prompt_->requests[0].error, "");
  EXPECT_EQ(prompt_->requests[1].error, PassphraseAuthenticator::kEmptyPassphraseText);
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
