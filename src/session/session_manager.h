#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/auth_context.h"
#include "platform/secret_string.h"
#include "platform/work_queue.h"
#include "store/keychain_manager.h"

namespace caskel {

// Who unlocked a prefix: the caller's resolved process and its start time (guards pid reuse),
// the terminal it asked from (another pane of the same multiplexer is someone else), and
// whether it is served as an agent. Agents and everyone else hold separate sessions, so
// neither ever reads from, extends or rebinds the other's.
struct SessionBinding {
  int32_t resolvedPid = 0;
  double pidStartTime = 0;
  int32_t terminal = 0;
  bool agent = false;
  bool operator==(const SessionBinding&) const = default;
};

struct SessionStatusEntry {
  std::string prefix;
  int count = 0;
  bool operator==(const SessionStatusEntry&) const = default;
};

struct UnlockResult {
  static constexpr int kNotUnlocked = -1;
  int count = kNotUnlocked;              // values cached, when unlocked
  std::shared_ptr<AuthContext> context;  // the evaluated context, when unlocked
  // When not unlocked because no prompt could be shown: why (else empty: a no, or a failure).
  std::string unavailableReason;
  // False when the prompt was canceled or could not be shown.
  bool unlocked() const { return count != kNotUnlocked; }
};

// Folder unlocks bound to a caller process, with the in-memory value cache and the per-prefix
// time-outs kept in config.json. One lock guards all maps; it is never held across a prompt or
// a store call. Cached values are wiped when dropped.
class SessionManager {
 public:
  static constexpr double kDefaultTimeout = 14400;

  // `configPath` defaults to config.json in the configuration directory.
  explicit SessionManager(KeychainManager keychain, std::string configPath = {});
  ~SessionManager();
  SessionManager(const SessionManager&) = delete;
  SessionManager& operator=(const SessionManager&) = delete;

  UnlockResult unlock(const std::string& prefix, double timeout, const SessionBinding& caller,
                      const std::optional<std::string>& callerDescription);
  // Absent prefix locks everything. A lock also ends the authenticator's reuse window.
  void lock(const std::optional<std::string>& prefix = std::nullopt);
  std::optional<SecretString> cachedValue(const std::string& account, const SessionBinding& caller);
  bool isUnlocked(const std::string& account, const SessionBinding& caller);
  bool isBound(const std::string& account, const SessionBinding& caller);
  double timeout(const std::string& prefix);
  // Absent seconds removes the configured value. Saves the configuration.
  void setTimeout(const std::string& prefix, std::optional<double> seconds);
  std::vector<SessionStatusEntry> sessionStatus();
  void loadConfig();
  void saveConfig();

  // Cache edits made by the command handlers (each takes the lock for its own duration).
  // Stores `value` when a session covering `account` is bound to the caller and running.
  void cacheIfOwnSession(const std::string& account, const SessionBinding& caller, const SecretString& value);
  // Stores `value` in the cache of the caller's kind (agent or not).
  void storeInCache(const std::string& account, const SessionBinding& caller, const SecretString& value);
  void replaceIfCached(const std::string& account, const SecretString& value);
  void removeFromCache(const std::string& account);
  // The cached value whoever unlocked it (the window's share uses this).
  std::optional<SecretString> cachedValueForApplication(const std::string& account);
  // Configured time-outs, a copy.
  std::map<std::string, double> prefixTimeouts();
  // Prefixes with a running timer (the list screen's unlock indicators).
  std::vector<std::string> unlockedPrefixes();

  static std::string defaultConfigPath();

  // Told (on the timer queue, outside the lock) after an expiry has locked its prefix; lets
  // tests wait for the event instead of sleeping.
  void setExpiryObserver(std::function<void(const std::string&)> observer);

 private:
  // The sessions of one kind of caller: agents have one of these, everyone else the other.
  struct Table {
    std::map<std::string, SecretString> cache;
    std::map<std::string, TaskHandle> timers;
    std::map<std::string, SessionBinding> sessions;
  };
  Table& tableFor(const SessionBinding& caller) { return tables_[caller.agent ? 1 : 0]; }
  void scheduleExpiry(Table& table, bool agent, const std::string& prefix, double timeout);  // under lock_
  void expire(bool agent, const std::string& prefix, const std::shared_ptr<TaskHandle>& own);
  void lockLocked(const std::optional<std::string>& prefix);  // under lock_
  static void lockTable(Table& table, const std::optional<std::string>& prefix);

  KeychainManager keychain_;
  std::string configPath_;
  std::mutex lock_;
  Table tables_[2];
  std::map<std::string, double> prefixTimeouts_;
  std::function<void(const std::string&)> expiryObserver_;
  std::mutex saveMutex_;         // orders whole config.json writes
  std::shared_ptr<bool> alive_;  // expiry tasks hold it weakly
  WorkQueue timerQueue_{"caskel.session-timers"};
};

}  // namespace caskel
