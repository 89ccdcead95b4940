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

// Who unlocked a prefix: the caller's resolved process and its start time (guards pid reuse).
struct SessionBinding {
  int32_t resolvedPid = 0;
  double pidStartTime = 0;
  bool matches(int32_t pid, double startTime) const {
    return pid == resolvedPid && startTime == pidStartTime;
  }
};

struct SessionStatusEntry {
  std::string prefix;
  int count = 0;
  bool operator==(const SessionStatusEntry&) const = default;
};

struct UnlockResult {
  int count = -1;                        // values cached; -1 when authentication failed
  std::shared_ptr<AuthContext> context;  // the evaluated context, absent on -1
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

  UnlockResult unlock(const std::string& prefix, double timeout, int32_t resolvedPid, double pidStartTime,
                      const std::optional<std::string>& callerDescription);
  // Absent prefix locks everything.
  void lock(const std::optional<std::string>& prefix = std::nullopt);
  std::optional<SecretString> cachedValue(const std::string& account, int32_t resolvedPid,
                                          double pidStartTime);
  bool isUnlocked(const std::string& account, int32_t resolvedPid, double pidStartTime);
  bool isBound(const std::string& account, int32_t resolvedPid, double pidStartTime);
  double timeout(const std::string& prefix);
  // Absent seconds removes the configured value. Saves the configuration.
  void setTimeout(const std::string& prefix, std::optional<double> seconds);
  std::vector<SessionStatusEntry> sessionStatus();
  void loadConfig();
  void saveConfig();

  // Cache edits made by the command handlers (each takes the lock for its own duration).
  // Stores `value` when a session covering `account` is bound to the caller and running.
  void cacheIfOwnSession(const std::string& account, int32_t resolvedPid, double pidStartTime,
                         const SecretString& value);
  void storeInCache(const std::string& account, const SecretString& value);
  void replaceIfCached(const std::string& account, const SecretString& value);
  void removeFromCache(const std::string& account);
  // The cached value whoever unlocked it (the window's share uses this).
  std::optional<SecretString> cachedValueForApplication(const std::string& account);
  // Configured time-outs, a copy.
  std::map<std::string, double> prefixTimeouts();
  // Prefixes with a running timer (the list screen's unlock indicators).
  std::vector<std::string> unlockedPrefixes();

  static std::string formatDuration(double seconds);
  static std::string defaultConfigPath();

  // Told (on the timer queue, outside the lock) after an expiry has locked its prefix; lets
  // tests wait for the event instead of sleeping.
  void setExpiryObserver(std::function<void(const std::string&)> observer);

 private:
  void scheduleExpiry(const std::string& prefix, double timeout);  // under lock_
  void expire(const std::string& prefix, const std::shared_ptr<TaskHandle>& own);
  void lockLocked(const std::optional<std::string>& prefix);  // under lock_

  KeychainManager keychain_;
  std::string configPath_;
  std::mutex lock_;
  std::map<std::string, SecretString> cache_;
  std::map<std::string, TaskHandle> timers_;
  std::map<std::string, SessionBinding> sessions_;
  std::map<std::string, double> prefixTimeouts_;
  std::function<void(const std::string&)> expiryObserver_;
  std::mutex saveMutex_;         // orders whole config.json writes
  std::shared_ptr<bool> alive_;  // expiry tasks hold it weakly
  WorkQueue timerQueue_{"caskel.session-timers"};
};

}  // namespace caskel
