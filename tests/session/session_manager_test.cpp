#include "session/session_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <nlohmann/json.hpp>

#include "platform/file_system.h"
#include "support/fakes.h"
#include "support/test_env.h"

namespace caskel {
namespace {

using Identity = SessionBinding;

// Expiry events, awaited instead of slept for; `held` parks the timer queue inside that event.
struct Expiries {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> seen;
  std::string held;
};

class SessionManagerTest : public ::testing::Test {
 protected:
  SessionManagerTest() {
    Authenticator::setShared(auth);
    sessions.setExpiryObserver([e = expiries](const std::string& prefix) {
      std::unique_lock lock(e->mutex);
      e->seen.push_back(prefix);
      e->cv.notify_all();
      e->cv.wait(lock, [&] { return prefix != e->held; });
    });
  }
  void TearDown() override {
    release();  // a parked timer would keep the manager from stopping
    Authenticator::setShared(nullptr);
  }
  void put(const std::string& account, const std::string& value, std::optional<bool> strict = std::nullopt) {
    std::optional<SecretMetadata> metadata;  // none at all unless strictness is given
    if (strict) metadata.emplace().strict = strict;
    ASSERT_FALSE(keychain.save(account, value, metadata).has_value());
    keys.push_back(account);
  }
  bool waitForExpiry(const std::string& prefix) {
    std::unique_lock lock(expiries->mutex);
    return expiries->cv.wait_for(lock, std::chrono::seconds(20),
                                 [&] { return std::ranges::count(expiries->seen, prefix) > 0; });
  }
  void release() {
    std::lock_guard lock(expiries->mutex);
    expiries->held.clear();
    expiries->cv.notify_all();
  }
  int unlock(const std::string& prefix, Identity who, double timeout = 3600) {
    return sessions.unlock(prefix, timeout, who, std::nullopt).count;
  }
  std::optional<std::string> cached(const std::string& account, Identity who) {
    auto value = sessions.cachedValue(account, who);
    return value ? std::optional(value->str()) : std::nullopt;
  }
  // What `who` gets of each key in `keys`: "key=value" from the cache, "key" when it is only
  // within an unlocked folder, nothing otherwise.
  std::string view(Identity who) {
    std::string out;
    for (const std::string& key : keys) {
      if (auto value = cached(key, who)) {
        out += " " + key + "=" + *value;
      } else if (sessions.isUnlocked(key, who)) {
        out += " " + key;
      }
    }
    return out.empty() ? out : out.substr(1);
  }
  std::string configPath() const { return home.configDir() + "/config.json"; }
  nlohmann::json savedConfig() const { return nlohmann::json::parse(test::readText(configPath())); }

  test::TempHome home;
  std::shared_ptr<test::FakeAuthenticator> auth = std::make_shared<test::FakeAuthenticator>();
  std::shared_ptr<test::MemoryCredentialStore> store = std::make_shared<test::MemoryCredentialStore>();
  KeychainManager keychain{"caskel", store};
  std::shared_ptr<Expiries> expiries = std::make_shared<Expiries>();
  SessionManager sessions{keychain};  // at the default path, under the temporary home
  std::vector<std::string> keys;      // stored, plus names of keys never stored
  // Sessions go by pid and start time alone; no process is looked up.
  Identity self{4100, 5100, 0, false};
  Identity other{4200, 5200, 0, false};
};

TEST_F(SessionManagerTest, UnlockCachesTheFolderForItsCallerOnly) {
  put("org/a/K", "alpha");
  put("org/a/Y", "y");
  put("org/b/L", "beta", false);
  put("org/a/S", "strict", true);
  put("org/TOP", "top");
  put("orga/X", "x");
  put("other/M", "m");

  UnlockResult result = sessions.unlock("org/", 14400, self, std::nullopt);
  EXPECT_EQ(result.count, 4);
  ASSERT_TRUE(result.context && result.context->isEvaluated());
  EXPECT_EQ(result.context->reuseDuration(), 30);
  EXPECT_EQ(result.context->requester(), (Requester{self.resolvedPid, self.pidStartTime, 0, false}));
  EXPECT_EQ(auth->reasons(), std::vector<std::string>{"Unlock \"org/\" for 4h"});
  EXPECT_EQ(store->valueReads(), 5);  // only the folder is decrypted

  keys.push_back("org/new/KEY");
  EXPECT_EQ(view(self), "org/a/K=alpha org/a/Y=y org/b/L=beta org/a/S org/TOP=top org/new/KEY");
  EXPECT_EQ(view(other), "");
  EXPECT_EQ(view(Identity{self.resolvedPid, self.pidStartTime + 0.01, 0, false}), "");  // a reused pid
  // Cached keys are counted under their own folder.
  std::vector<SessionStatusEntry> status = {{"org/", 1}, {"org/a/", 2}, {"org/b/", 1}};
  EXPECT_EQ(sessions.sessionStatus(), status);

  sessions.unlock("x/", 90, other, std::string("via claude (agent)"));
  EXPECT_EQ(auth->reasons().back(), "Unlock \"x/\" for 1m — via claude (agent)");
}

TEST_F(SessionManagerTest, LongestPrefixWinsRefusalsChangeNothingAndLockingASubPrefixKeepsTheParent) {
  put("org/a/K", "alpha");
  put("org/b/L", "beta");
  unlock("org/", self);
  unlock("org/a/", other);
  EXPECT_EQ(view(other), "org/a/K=alpha");
  EXPECT_EQ(view(self), "org/b/L=beta");
  // isBound takes the first session over the key, not the longest.
  EXPECT_TRUE(sessions.isBound("org/a/K", self));
  EXPECT_FALSE(sessions.isBound("org/a/K", other));

  auth->forgetLastSuccess();
  auth->queue(AuthOutcome::canceled);
  UnlockResult canceled = sessions.unlock("org/", 60, other, std::nullopt);
  EXPECT_EQ(canceled.count, -1);
  EXPECT_FALSE(canceled.context);
  auth->setAvailable(false);
  EXPECT_EQ(unlock("new/", other), -1);
  EXPECT_EQ(view(self), "org/b/L=beta");
  EXPECT_EQ(sessions.unlockedPrefixes(), (std::vector<std::string>{"org/", "org/a/"}));

  sessions.lock("org/a/");
  EXPECT_EQ(view(self), "org/a/K org/b/L=beta");
  EXPECT_EQ(view(other), "");
  EXPECT_EQ(sessions.unlockedPrefixes(), std::vector<std::string>{"org/"});
  sessions.lock();
  EXPECT_EQ(sessions.cachedValueForApplication("org/b/L"), std::nullopt);
  EXPECT_TRUE(sessions.unlockedPrefixes().empty());
}

TEST_F(SessionManagerTest, ExpiryLocksAndReunlockRebindsAndRestartsTheTimer) {
  put("org/K", "v");
  // Park the timer queue so that the short first timer cannot fire before it is replaced.
  expiries->held = "gate/";
  unlock("gate/", self, 0);
  ASSERT_TRUE(waitForExpiry("gate/"));
  unlock("org/", self, 0.05);
  unlock("org/", other, 3600);
  EXPECT_EQ(view(self), "");
  EXPECT_EQ(view(other), "org/K=v");
  // Deadlines run in order on one queue: had the replaced timer survived, it would fire first.
  unlock("marker/", self, 0.1);
  release();
  ASSERT_TRUE(waitForExpiry("marker/"));
  EXPECT_EQ(expiries->seen, (std::vector<std::string>{"gate/", "marker/"}));
  EXPECT_EQ(view(other), "org/K=v");

  unlock("org/", other, 0.05);  // the long session made short expires on the new deadline
  ASSERT_TRUE(waitForExpiry("org/"));
  EXPECT_EQ(view(other), "");
  EXPECT_TRUE(sessions.unlockedPrefixes().empty());
}

// The text itself is the base rule's; here only what seconds from a request or file become.
TEST_F(SessionManagerTest, UnlockPromptTruncatesFractionsAndHostileTimeouts) {
  std::pair<double, std::string> cases[] = {{5400.9, "1h 30m"}, {59.9, "59s"}, {0.4, "0s"}};
  for (auto [seconds, text] : cases) {
    auth->forgetLastSuccess();  // each unlock prompts
    unlock("org/", self, seconds);
    EXPECT_EQ(auth->reasons().back(), "Unlock \"org/\" for " + text) << seconds;
  }
  auth->forgetLastSuccess();
  unlock("org/", self, 1e300);  // no overflow on a hostile value
  EXPECT_EQ(auth->reasons().back().back(), 'h');
}

TEST_F(SessionManagerTest, TimeoutsAreNormalisedAndPersistedPrivatelyInWholeSecondsOverBrokenFiles) {
  mode_t old = ::umask(0);
  sessions.setTimeout("org/proj", 3600);
  ::umask(old);
  EXPECT_EQ(savedConfig(), nlohmann::json::parse(R"({"timeouts": {"org/proj/": 3600}})"));
  EXPECT_EQ(test::modeOf(configPath()), 0600);
  EXPECT_EQ(test::modeOf(home.configDir()), 0700);
  EXPECT_EQ(sessions.timeout("org/proj/sub/"), 3600);
  EXPECT_EQ(sessions.timeout("org/"), SessionManager::kDefaultTimeout);

  SessionManager reloaded(keychain);
  EXPECT_EQ(reloaded.timeout("org/proj/"), 3600);
  reloaded.setTimeout("org/proj/", std::nullopt);
  EXPECT_EQ(savedConfig(), nlohmann::json::parse(R"({"timeouts": {}})"));

  // A fraction from the file is used as it is, saved in whole seconds, and outlives broken files.
  test::writeText(configPath(), R"({"timeouts": {"org/": 1800.7, "big/": 1e300}})");
  sessions.loadConfig();
  EXPECT_EQ(sessions.timeout("org/x/"), 1800.7);
  sessions.setTimeout("x/", 60);
  nlohmann::json saved = savedConfig()["timeouts"];
  EXPECT_TRUE(saved["org/"].is_number_integer() && saved["big/"].is_number_integer());
  EXPECT_EQ(saved["org/"], 1800);
  EXPECT_EQ(saved["x/"], 60);

  for (const char* text :
       {R"({"timeouts": {"org/": 12)", "", "[1]", R"({"timeouts": 5})", R"({"t": {"org/": 5}})",
        R"({"timeouts": {"org/": 5, "b/": "7"}})", R"({"timeouts": {"org/": true}})"}) {
    test::writeText(configPath(), text);
    sessions.loadConfig();
    EXPECT_EQ(sessions.timeout("org/"), 1800.7) << text;
  }
  ASSERT_TRUE(fs::removeFile(configPath()));
  sessions.loadConfig();
  EXPECT_EQ(sessions.timeout("org/"), 1800.7);
}

// An agent and the user each hold their own session over one folder: neither reads from,
// extends or rebinds the other's, and another terminal of the same program is someone else.
TEST_F(SessionManagerTest, AgentsTerminalsAndUsersHoldSeparateSessions) {
  put("org/a/K", "alpha");
  const Identity agent{self.resolvedPid, self.pidStartTime, 0, true};
  const Identity otherTerminal{self.resolvedPid, self.pidStartTime, 34817, false};

  ASSERT_EQ(unlock("org/", self), 1);
  EXPECT_EQ(view(agent), "");
  EXPECT_FALSE(sessions.isBound("org/a/K", agent));
  EXPECT_EQ(view(otherTerminal), "");

  // The agent's own unlock leaves the user's session bound to the user.
  ASSERT_EQ(unlock("org/", agent), 1);
  EXPECT_EQ(view(agent), "org/a/K=alpha");
  EXPECT_EQ(view(self), "org/a/K=alpha");
  sessions.storeInCache("org/a/NEW", agent, SecretString(std::string_view("agent-read")));
  EXPECT_EQ(cached("org/a/NEW", self), std::nullopt);  // what an agent read stays its own

  // Locking the folder ends both; so does the agent's session expiring leave the user's.
  sessions.lock(std::string("org/"));
  EXPECT_EQ(view(self), "");
  EXPECT_EQ(view(agent), "");
  ASSERT_EQ(unlock("org/", self), 1);
  ASSERT_EQ(unlock("org/", agent, 0.05), 1);
  ASSERT_TRUE(waitForExpiry("org/"));
  EXPECT_EQ(view(agent), "");
  EXPECT_EQ(view(self), "org/a/K=alpha");
  EXPECT_EQ(sessions.unlockedPrefixes(), std::vector<std::string>{"org/"});
}

}  // namespace
}  // namespace caskel
