#include "session/session_manager.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>

#include "base/display_text.h"
#include "base/duration.h"
#include "base/key_path.h"
#include "platform/file_system.h"

namespace caskel {

namespace {

constexpr double kReuseWindowSeconds = 30;
// config.json holds a handful of prefixes; anything far larger is not ours.
constexpr size_t kMaxConfigBytes = 1024 * 1024;

// Whole seconds toward zero, kept inside the integer range (a hostile file may hold 1e308).
int64_t truncatedSeconds(double seconds) {
  if (std::isnan(seconds)) return 0;
  constexpr double kMax = 9.0e18;
  if (seconds >= kMax) return static_cast<int64_t>(kMax);
  if (seconds <= -kMax) return -static_cast<int64_t>(kMax);
  return static_cast<int64_t>(std::trunc(seconds));
}

// The longest key of `table` that is a text prefix of `account`, or end().
template <class Map>
typename Map::const_iterator longestPrefix(const Map& table, const std::string& account) {
  auto best = table.end();
  for (auto it = table.begin(); it != table.end(); ++it) {
    if (hasTextPrefix(account, it->first) && (best == table.end() || it->first.size() > best->first.size())) {
      best = it;
    }
  }
  return best;
}

template <class Map>
bool anyPrefix(const Map& table, const std::string& account) {
  for (const auto& entry : table) {
    if (hasTextPrefix(account, entry.first)) return true;
  }
  return false;
}

}  // namespace

SessionManager::SessionManager(KeychainManager keychain, std::string configPath)
    : keychain_(std::move(keychain)),
      configPath_(configPath.empty() ? defaultConfigPath() : std::move(configPath)),
      alive_(std::make_shared<bool>(true)) {
  loadConfig();
}

SessionManager::~SessionManager() {
  // Expiry tasks must not touch members that are going away: disarm them, let a running one
  // finish, then drop (and wipe) every cached value.
  alive_.reset();
  timerQueue_.shutdown();
  lock(std::nullopt);
}

std::string SessionManager::defaultConfigPath() {
  return fs::configDirectory() + "/config.json";
}

UnlockResult SessionManager::unlock(const std::string& prefix, double timeout, const SessionBinding& caller,
                                    const std::optional<std::string>& callerDescription) {
  std::string reason =
      "Unlock \"" + displaySafe(prefix, kMaxShownKey) + "\" for " + formatDuration(truncatedSeconds(timeout));
  if (callerDescription) reason += " — " + *callerDescription;

  auto context = std::make_shared<AuthContext>();
  context->setReuseDuration(kReuseWindowSeconds);
  context->setRequester(Requester{caller.resolvedPid, caller.pidStartTime, caller.terminal, caller.agent});
  auto refused = [&] {
    UnlockResult result;
    if (!context->isEvaluated() && context->lastOutcome() == AuthOutcome::unavailable) {
      result.unavailableReason = context->unavailableReason();
    }
    return result;
  };
  if (!context->canEvaluate()) return refused();
  // The prompt blocks this thread; no lock is held here.
  if (context->evaluate(reason) != AuthOutcome::success) return refused();

  std::set<std::string> kept;
  for (const SecretInfo& info : keychain_.listSecrets(context.get(), false)) {
    if (!hasTextPrefix(info.account, prefix)) continue;
    if (info.metadata && info.metadata->strict.value_or(false)) continue;
    kept.insert(info.account);
  }
  // Only the folder's values are decrypted, not the whole vault. A value sealed as strict stays
  // out of the cache whatever its clear metadata says.
  std::set<std::string> strict;
  std::map<std::string, SecretString> values = keychain_.readAllValues(*context, prefix, &strict);

  int count = 0;
  {
    std::lock_guard guard(lock_);
    Table& table = tableFor(caller);
    for (auto& [account, value] : values) {
      if (!kept.count(account) || strict.count(account)) continue;
      table.cache[account] = std::move(value);
      ++count;
    }
    table.sessions[prefix] = caller;
    scheduleExpiry(table, caller.agent, prefix, timeout);
  }
  return UnlockResult{count, context, {}};
}

void SessionManager::scheduleExpiry(Table& table, bool agent, const std::string& prefix, double timeout) {
  if (auto it = table.timers.find(prefix); it != table.timers.end()) it->second.cancel();
  // The task learns its own handle once posted; it reads it under lock_, which we hold until
  // the handle is stored, so it always sees it.
  auto own = std::make_shared<TaskHandle>();
  std::weak_ptr<bool> alive = alive_;
  TaskHandle handle = timerQueue_.postAfterSeconds(timeout, [this, alive, agent, prefix, own] {
    if (!alive.lock()) return;
    expire(agent, prefix, own);
  });
  *own = handle;
  table.timers[prefix] = handle;
}

void SessionManager::expire(bool agent, const std::string& prefix, const std::shared_ptr<TaskHandle>& own) {
  std::function<void(const std::string&)> observer;
  {
    std::lock_guard guard(lock_);
    // A timer that was replaced (re-unlock) or cancelled (lock) while it was already due must
    // not end the session that replaced it.
    if (own->isCancelled()) return;
    lockTable(tables_[agent ? 1 : 0], prefix);
    observer = expiryObserver_;
  }
  if (observer) observer(prefix);
}

void SessionManager::setExpiryObserver(std::function<void(const std::string&)> observer) {
  std::lock_guard guard(lock_);
  expiryObserver_ = std::move(observer);
}

void SessionManager::lock(const std::optional<std::string>& prefix) {
  {
    std::lock_guard guard(lock_);
    lockLocked(prefix);
  }
  // A yes given a moment ago must not open what was just locked.
  if (auto authenticator = Authenticator::shared()) authenticator->endReuseWindow();
}

void SessionManager::lockLocked(const std::optional<std::string>& prefix) {
  for (Table& table : tables_) lockTable(table, prefix);
}

void SessionManager::lockTable(Table& table, const std::optional<std::string>& prefix) {
  if (!prefix) {
    table.cache.clear();  // SecretString wipes each value as it goes
    for (auto& [key, timer] : table.timers) timer.cancel();
    table.timers.clear();
    table.sessions.clear();
    return;
  }
  for (auto it = table.cache.lower_bound(*prefix);
       it != table.cache.end() && hasTextPrefix(it->first, *prefix);) {
    it = table.cache.erase(it);
  }
  if (auto it = table.timers.find(*prefix); it != table.timers.end()) {
    it->second.cancel();
    table.timers.erase(it);
  }
  table.sessions.erase(*prefix);
}

std::optional<SecretString> SessionManager::cachedValue(const std::string& account,
                                                        const SessionBinding& caller) {
  std::lock_guard guard(lock_);
  Table& table = tableFor(caller);
  auto session = longestPrefix(table.sessions, account);
  if (session == table.sessions.end() || !(session->second == caller)) return std::nullopt;
  auto it = table.cache.find(account);
  if (it == table.cache.end()) return std::nullopt;
  return it->second;
}

bool SessionManager::isUnlocked(const std::string& account, const SessionBinding& caller) {
  std::lock_guard guard(lock_);
  Table& table = tableFor(caller);
  if (!anyPrefix(table.timers, account)) return false;
  auto session = longestPrefix(table.sessions, account);
  return session != table.sessions.end() && session->second == caller;
}

bool SessionManager::isBound(const std::string& account, const SessionBinding& caller) {
  std::lock_guard guard(lock_);
  for (const auto& [prefix, binding] : tableFor(caller).sessions) {
    if (hasTextPrefix(account, prefix)) return binding == caller;
  }
  return false;
}

double SessionManager::timeout(const std::string& prefix) {
  std::lock_guard guard(lock_);
  if (auto it = prefixTimeouts_.find(prefix); it != prefixTimeouts_.end()) return it->second;
  for (const auto& [key, seconds] : prefixTimeouts_) {
    if (hasTextPrefix(prefix, key)) return seconds;
  }
  return kDefaultTimeout;
}

void SessionManager::setTimeout(const std::string& prefix, std::optional<double> seconds) {
  std::string key = normalizePrefix(prefix);
  {
    std::lock_guard guard(lock_);
    if (seconds) {
      prefixTimeouts_[key] = *seconds;
    } else {
      prefixTimeouts_.erase(key);
    }
  }
  saveConfig();
}

std::vector<SessionStatusEntry> SessionManager::sessionStatus() {
  std::set<std::string> accounts;
  {
    std::lock_guard guard(lock_);
    for (const Table& table : tables_) {
      for (const auto& entry : table.cache) accounts.insert(entry.first);
    }
  }
  std::map<std::string, int> counts;
  for (const auto& account : accounts) ++counts[folderPrefixOrKey(account)];
  std::vector<SessionStatusEntry> status;
  status.reserve(counts.size());
  for (const auto& [group, count] : counts) status.push_back(SessionStatusEntry{group, count});
  return status;
}

void SessionManager::loadConfig() {
  std::optional<std::string> text = fs::readFile(configPath_, kMaxConfigBytes);
  if (!text) return;
  nlohmann::json root = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!root.is_object()) return;
  auto timeouts = root.find("timeouts");
  if (timeouts == root.end() || !timeouts->is_object()) return;
  std::map<std::string, double> loaded;
  for (const auto& [prefix, seconds] : timeouts->items()) {
    if (!seconds.is_number()) return;  // one bad entry: the whole file is not trusted
    loaded[prefix] = seconds.get<double>();
  }
  std::lock_guard guard(lock_);
  prefixTimeouts_ = std::move(loaded);
}

void SessionManager::saveConfig() {
  // Serialised so that two concurrent saves cannot land an older snapshot last.
  std::lock_guard saving(saveMutex_);
  nlohmann::json timeouts = nlohmann::json::object();
  for (const auto& [prefix, seconds] : prefixTimeouts()) timeouts[prefix] = truncatedSeconds(seconds);
  nlohmann::json root = {{"timeouts", timeouts}};
  // Atomic and owner-only: a crash mid-write must not lose every time-out.
  fs::ensurePrivateDirectory(fs::parentOf(configPath_));
  fs::writeFileAtomically(configPath_, root.dump(2) + "\n", 0600);
}

void SessionManager::cacheIfOwnSession(const std::string& account, const SessionBinding& caller,
                                       const SecretString& value) {
  std::lock_guard guard(lock_);
  Table& table = tableFor(caller);
  bool bound = false;
  for (const auto& [prefix, binding] : table.sessions) {
    if (hasTextPrefix(account, prefix) && binding == caller) {
      bound = true;
      break;
    }
  }
  if (bound && anyPrefix(table.timers, account)) table.cache[account] = value;
}

void SessionManager::storeInCache(const std::string& account, const SessionBinding& caller,
                                  const SecretString& value) {
  std::lock_guard guard(lock_);
  tableFor(caller).cache[account] = value;
}

void SessionManager::replaceIfCached(const std::string& account, const SecretString& value) {
  std::lock_guard guard(lock_);
  for (Table& table : tables_) {
    if (auto it = table.cache.find(account); it != table.cache.end()) it->second = value;
  }
}

void SessionManager::removeFromCache(const std::string& account) {
  std::lock_guard guard(lock_);
  for (Table& table : tables_) table.cache.erase(account);
}

std::optional<SecretString> SessionManager::cachedValueForApplication(const std::string& account) {
  std::lock_guard guard(lock_);
  for (const Table& table : tables_) {
    if (auto it = table.cache.find(account); it != table.cache.end()) return it->second;
  }
  return std::nullopt;
}

std::map<std::string, double> SessionManager::prefixTimeouts() {
  std::lock_guard guard(lock_);
  return prefixTimeouts_;
}

std::vector<std::string> SessionManager::unlockedPrefixes() {
  std::lock_guard guard(lock_);
  std::set<std::string> prefixes;
  for (const Table& table : tables_) {
    for (const auto& entry : table.timers) prefixes.insert(entry.first);
  }
  return {prefixes.begin(), prefixes.end()};
}

}  // namespace caskel
