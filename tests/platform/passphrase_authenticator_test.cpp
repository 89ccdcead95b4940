#include "platform/passphrase_authenticator.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>

#include "platform/vault.h"
#include "support/fakes.h"
#include "support/test_env.h"

namespace caskel {
namespace {

using namespace std::chrono_literals;

// A real vault (at the cheapest key derivation) whose passphrase is "right".
class PassphraseAuthenticatorTest : public ::testing::Test {
 protected:
  PassphraseAuthenticatorTest() {
    prompt_->defaultAnswer = "right";
    std::shared_ptr<const VaultKey> key;
    EXPECT_EQ(vault_->create(SecretString(std::string_view("right")), key), VaultKeyring::Status::ok);
  }
  AuthOutcome evaluate(const Requester& who, double window = 30, PassphraseAuthenticator* auth = nullptr) {
    std::shared_ptr<const VaultKey> key;
    AuthOutcome outcome = (auth ? *auth : auth_).evaluate("Read \"acme/KEY\"", who, window, key);
    EXPECT_EQ(outcome == AuthOutcome::success, key != nullptr);
    return outcome;
  }
  std::shared_ptr<Vault> vaultAt(const std::string& name, VaultOptions options = test::cheapVaultOptions()) {
    return std::make_shared<Vault>(dir_.file(name), options);
  }

  std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::time_point{} + 1000h;
  test::TempDir dir_;
  std::shared_ptr<Vault> vault_ = vaultAt("vault.db");
  std::shared_ptr<test::ListPrompt> prompt_ = std::make_shared<test::ListPrompt>();
  PassphraseAuthenticator auth_{vault_, prompt_, [this] { return now_; }};
  const Requester agent_{4242, 1700000000.5};
  const Requester terminal_{777, 1700000001.25};
};

TEST_F(PassphraseAuthenticatorTest, ReuseWindowCoversOnlyTheSameRequesterForItsLengthUntilALock) {
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

  // The same process asking from another terminal, or served as an agent, is another
  // requester; and a lock ends the window for everyone.
  const Requester asAgent{777, 1700000001.25, 0, true};
  ASSERT_EQ(evaluate(terminal_), AuthOutcome::success);
  EXPECT_EQ(evaluate(Requester{777, 1700000001.25, 34817, false}), AuthOutcome::success);
  EXPECT_EQ(evaluate(asAgent), AuthOutcome::success);
  EXPECT_EQ(evaluate(asAgent), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 7);
  auth_.endReuseWindow();
  EXPECT_EQ(evaluate(asAgent), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 8);
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
  test::rawSql(vault_->path(), "UPDATE meta SET format = 2");
  EXPECT_EQ(evaluate(agent_), AuthOutcome::keyUnusable);
}

TEST_F(PassphraseAuthenticatorTest, NewVaultAsksTwiceAndRefusesAnEmptyPassphrase) {
  std::shared_ptr<Vault> fresh = vaultAt("fresh.db"), never = vaultAt("never.db");
  PassphraseAuthenticator creating(fresh, prompt_), refused(never, prompt_);
  prompt_->answers = {"", "fresh"};
  EXPECT_EQ(evaluate(agent_, 30, &creating), AuthOutcome::success);
  ASSERT_EQ(prompt_->asked.size(), 2u);
  EXPECT_TRUE(prompt_->asked[0].repeat);
  EXPECT_EQ(prompt_->asked[0].description,
            std::string("Read \"acme/KEY\"\n\n") + PassphraseAuthenticator::kNewVaultText);
  EXPECT_EQ(prompt_->asked[0].error, "");
  EXPECT_EQ(prompt_->asked[1].error, PassphraseAuthenticator::kEmptyPassphraseText);
  std::shared_ptr<const VaultKey> key;
  EXPECT_EQ(fresh->unlock(SecretString(std::string_view("fresh")), key), VaultKeyring::Status::ok);

  prompt_->answers = {"", "", ""};
  EXPECT_EQ(evaluate(terminal_, 30, &refused), AuthOutcome::failed);
  EXPECT_FALSE(never->exists());
}

TEST_F(PassphraseAuthenticatorTest, CanEvaluateNeedsAPromptAndAVault) {
  EXPECT_TRUE(auth_.canEvaluate());
  EXPECT_TRUE(PassphraseAuthenticator(vaultAt("new.db"), prompt_).canEvaluate());
  VaultOptions readOnly = test::cheapVaultOptions();
  readOnly.readOnly = true;
  EXPECT_FALSE(PassphraseAuthenticator(vaultAt("new.db", readOnly), prompt_).canEvaluate());
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
