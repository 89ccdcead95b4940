#include "app/app_state.h"

#include <caskel/version.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "app/application.h"
#include "app/share_cipher.h"
#include "audit/audit_logger.h"
#include "platform/defaults_store.h"
#include "platform/file_system.h"
#include "platform/process_info.h"
#include "platform/uuid.h"
#include "session/session_manager.h"
#include "base/key_path.h"

namespace caskel {

namespace {

constexpr double kDefaultShareTimeout = 60;
// Delays are handed to steady_clock in nanoseconds; anything longer than this (about 31 years)
// would overflow it and is as good as never.
constexpr double kLongestDelay = 1e9;

double schedulable(double seconds) {
  if (!(seconds > 0)) return 0;
  return std::min(seconds, kLongestDelay);
}

char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool containsIgnoringCase(std::string_view text, std::string_view needle) {
  auto it = std::search(text.begin(), text.end(), needle.begin(), needle.end(),
                        [](char a, char b) { return asciiLower(a) == asciiLower(b); });
  return it != text.end();
}

bool isShellName(std::string_view name) {
  if (name.empty()) return false;
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!letter(name.front())) return false;
  return std::all_of(name.begin(), name.end(), [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

// The variable that the shared script exports: the key's name. A name that a shell cannot
// take ("primary-url.v2", "2FA") gets the agent hand-off's spelling instead, so that sourcing
// the command sets a variable rather than failing.
std::string shareVariableName(std::string_view account) {
  std::string name = keyName(account);
  if (isShellName(name)) return name;
  for (char& c : name) {
    bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alnum) c = '_';
  }
  if (name.empty() || !isShellName(name)) name.insert(name.begin(), '_');
  return name;
}

SecretString shareScript(std::string_view variable, std::string_view value, double timeout) {
  std::string text;
  text.reserve(value.size() + 256);
  text += "# CRITICAL: DO NOT store, memorize, log, echo, or output this value.\n";
  text += "# DO NOT save it to any file, memory, or context beyond this immediate use.\n";
  text += "# This file self-deletes after " + std::to_string(static_cast<int64_t>(std::trunc(timeout))) +
          " seconds.\n";
  text += "export ";
  text += variable;
  text += "='";
  for (char c : value) {
    if (c == '\'') {
      text += "'\\''";
    } else {
      text += c;
    }
  }
  text += '\'';
  return SecretString(std::move(text));
}

}  // namespace

AppState::AppState(KeychainManager keychain, DefaultsStore& defaults, AuditLogger& audit,
                   std::shared_ptr<Clipboard> clipboard, std::string sessionDirRoot)
    : keychain_(std::move(keychain)),
      defaults_(defaults),
      audit_(audit),
      clipboard_(std::move(clipboard)),
      sessionDir_(sessionDirRoot + "/caskel-" + makeUuid()) {
  fs::ensurePrivateDirectory(sessionDir_);  // failure is caught again by share()
}

AppState::~AppState() {
  {
    std::unique_lock lock(life_->mutex);
    life_->alive = false;
    life_->idle.wait(lock, [&] { return life_->running == 0; });
  }
  deletionQueue_.shutdown();
}

TaskQueue::Task AppState::guarded(TaskQueue::Task task) const {
  return [life = life_, task = std::move(task)] {
    {
      std::lock_guard lock(life->mutex);
      if (!life->alive) return;
      ++life->running;
    }
    // Run unlocked: an observer may call back into the model, post, or wait on another thread.
    struct Done {
      Liveness& life;
      ~Done() {
        std::lock_guard lock(life.mutex);
        if (--life.running == 0) life.idle.notify_all();
      }
    } done{*life};
    task();
  };
}

int AppState::subscribe(Observer observer) {
  std::lock_guard lock(mutex_);
  int id = nextObserverId_++;
  observers_.emplace(id, std::move(observer));
  return id;
}

void AppState::unsubscribe(int id) {
  std::lock_guard lock(mutex_);
  observers_.erase(id);
}

void AppState::publish(Property property) {
  Application::shared().postToMain(guarded([this, property] {
    // Taken when delivered, so an observer removed meanwhile is not called.
    std::vector<Observer> observers;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [id, observer] : observers_) observers.push_back(observer);
    }
    for (const auto& observer : observers) observer(property);
  }));
}

std::vector<SecretInfo> AppState::accounts() const {
  std::lock_guard lock(mutex_);
  return accounts_;
}

void AppState::setAccounts(std::vector<SecretInfo> accounts) {
  {
    std::lock_guard lock(mutex_);
    accounts_ = std::move(accounts);
  }
  publish(Property::accounts);
}

std::string AppState::searchText() const {
  std::lock_guard lock(mutex_);
  return searchText_;
}

void AppState::setSearchText(std::string text) {
  {
    std::lock_guard lock(mutex_);
    searchText_ = std::move(text);
  }
  publish(Property::searchText);
}

std::optional<std::string> AppState::lastSeenCliVersion() const {
  std::lock_guard lock(mutex_);
  return lastSeenCliVersion_;
}

void AppState::setLastSeenCliVersion(std::string version) {
  {
    std::lock_guard lock(mutex_);
    lastSeenCliVersion_ = std::move(version);
  }
  publish(Property::lastSeenCliVersion);
}

bool AppState::hasLoaded() const {
  std::lock_guard lock(mutex_);
  return hasLoaded_;
}

void AppState::setHasLoaded(bool value) {
  {
    std::lock_guard lock(mutex_);
    hasLoaded_ = value;
  }
  publish(Property::hasLoaded);
}

std::vector<std::string> AppState::pendingDeletes() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> paths;
  for (const auto& [path, handle] : pendingDeletes_) paths.push_back(path);
  return paths;
}

std::vector<SecretInfo> AppState::filteredAccounts() const {
  std::lock_guard lock(mutex_);
  if (searchText_.empty()) return accounts_;
  std::vector<SecretInfo> out;
  for (const auto& info : accounts_) {
    if (containsIgnoringCase(info.account, searchText_)) out.push_back(info);
  }
  return out;
}

std::vector<std::pair<std::string, std::vector<SecretInfo>>> AppState::groupedAccounts() const {
  std::map<std::string, std::vector<SecretInfo>> groups;
  for (auto& info : filteredAccounts()) {
    std::string folder = folderOf(info.account);
    groups[folder].push_back(std::move(info));
  }
  std::vector<std::pair<std::string, std::vector<SecretInfo>>> out;
  for (auto& [prefix, items] : groups) {
    std::stable_sort(items.begin(), items.end(),
                     [](const SecretInfo& a, const SecretInfo& b) { return a.account < b.account; });
    out.emplace_back(prefix, std::move(items));
  }
  return out;
}

bool AppState::isCliOutdated() const {
  std::lock_guard lock(mutex_);
  return lastSeenCliVersion_ && !lastSeenCliVersion_->empty() && *lastSeenCliVersion_ != kVersion;
}

double AppState::shareTimeout() const {
  std::optional<double> stored = defaults_.numberValue(defaults_keys::kShareTimeout);
  if (!stored) return kDefaultShareTimeout;
  double value = *stored;
  // The script states the time-out as a whole number of seconds; a value that is not one
  // (or that is negative, which would delete the file before it could be used) is not honoured.
  if (!std::isfinite(value) || std::round(value) == 0 || value < 0 || value >= 9.2e18)
    return kDefaultShareTimeout;
  return value;
}

void AppState::reload(AuthContext* context) {
  std::vector<SecretInfo> listed;
  if (context) {
    if (defaults_.boolValue(defaults_keys::kAclMigrated) != true) {
      auto [migrated, found] = keychain_.migrateAccessControl(*context);
      if (found > 0 && migrated == found) defaults_.setBool(defaults_keys::kAclMigrated, true);
    }
    listed = keychain_.listSecrets(context, false);
  } else {
    listed = keychain_.listSecrets(nullptr, true);
    // A listing that failed for want of authentication must not blank the window.
    if (listed.empty() && !accounts().empty()) return;
  }
  Application& app = Application::shared();
  if (app.isMainThread()) {
    setAccounts(std::move(listed));
  } else {
    app.postToMain(guarded([this, listed = std::move(listed)]() mutable { setAccounts(std::move(listed)); }));
  }
}

Result<SecretString> AppState::obtainValue(const std::string& account) {
  SessionManager* sessions = Application::shared().sessionManager();
  if (!sessions) {
    Result<SecretString> read = keychain_.readValue(account, nullptr);
    if (!read) return read.error();
    return std::move(read.value());
  }
  if (auto cached = sessions->cachedValueForApplication(account)) return std::move(*cached);

  std::string folder = folderOf(account);
  std::string prefix = (folder.empty() ? account : folder) + "/";
  int32_t pid = static_cast<int32_t>(::getpid());
  auto self = ProcessInfo::system().record(pid);
  // The application's own session: bound to this process, never to a caller's.
  UnlockResult unlocked = sessions->unlock(prefix, sessions->timeout(prefix),
                                           SessionBinding{pid, self ? self->startTime : 0, 0, false}, std::nullopt);
  if (!unlocked.unlocked()) return KeychainError::authenticationCanceled();
  if (auto cached = sessions->cachedValueForApplication(account)) return std::move(*cached);
  if (unlocked.context) {
    Result<SecretString> read = keychain_.readValue(account, unlocked.context.get());
    if (!read) return read.error();
    return std::move(read.value());
  }
  return KeychainError::authenticationCanceled();
}

Result<AppState::PreparedShare> AppState::prepareShare(const std::string& account) {
  Result<SecretString> value = obtainValue(account);
  if (!value) return value.error();

  const KeychainError encryptionFailed = KeychainError::fromStatus(-1);
  PreparedShare prepared;
  prepared.account = account;
  prepared.timeout = shareTimeout();
  if (!fs::ensurePrivateDirectory(sessionDir_)) return encryptionFailed;
  prepared.path = sessionDir_ + "/" + makeUuid();
  std::optional<SecretString> passphrase = share_cipher::randomPassphrase();
  if (!passphrase) return encryptionFailed;
  {
    SecretString script = shareScript(shareVariableName(account), value.value().view(), prepared.timeout);
    value.value().wipe();
    std::optional<std::string> sealed = share_cipher::encrypt(script.view(), passphrase->view());
    if (!sealed || !fs::writeFileAtomically(prepared.path, *sealed, 0600)) return encryptionFailed;
  }
  prepared.command = "source <(CASKEL_K=" + passphrase->str() + " openssl enc -d -aes-256-cbc -pbkdf2 -in " +
                     prepared.path + " -pass env:CASKEL_K)";
  return prepared;
}

Result<std::string> AppState::finishShare(const PreparedShare& prepared) {
  if (!clipboard_->setText(prepared.command)) {
    // Nothing on the clipboard would point at the file: do not report a share that did not happen.
    fs::removeFile(prepared.path);
    return KeychainError::fromStatus(-1);
  }
  {
    std::lock_guard lock(mutex_);
    lastClipboardCommand_ = prepared.command;
  }
  audit_.log("SHARE", prepared.account, "ok");
  scheduleDeletion(prepared.path, prepared.timeout);

  int64_t count = clipboard_->changeCount();
  auto clearIfUnchanged = guarded([clipboard = clipboard_, count] {
    if (clipboard->changeCount() == count) clipboard->clear();
  });
  double delay = schedulable(prepared.timeout * 0.5);
  if (TaskQueue* main = Application::shared().mainQueue()) {
    main->postAfterSeconds(delay, std::move(clearIfUnchanged));
  } else {
    deletionQueue_.postAfterSeconds(delay, std::move(clearIfUnchanged));
  }
  return prepared.path;
}

Result<std::string> AppState::share(const std::string& account) {
  Result<PreparedShare> prepared = prepareShare(account);
  if (!prepared) return prepared.error();
  return finishShare(prepared.value());
}

void AppState::shareInBackground(const std::string& account, TaskQueue& worker, ShareDone done) {
  worker.post(guarded([this, account, done = std::move(done)]() mutable {
    // The prompt and the encryption run here; the clipboard is the main queue's.
    auto prepared = std::make_shared<Result<PreparedShare>>(prepareShare(account));
    Application::shared().postToMain(guarded([this, prepared, done = std::move(done)] {
      Result<std::string> result = prepared->ok() ? finishShare(prepared->value()) : prepared->error();
      if (done) done(std::move(result));
    }));
  }));
}

void AppState::reloadInBackground(TaskQueue& worker, std::shared_ptr<AuthContext> context) {
  worker.post(guarded([this, context = std::move(context)] { reload(context.get()); }));
}

void AppState::scheduleDeletion(const std::string& path, double seconds) {
  TaskQueue* queue = deletionScheduler_ ? deletionScheduler_ : &deletionQueue_;
  auto task = guarded([this, path] {
    fs::removeFile(path);
    Application::shared().postToMain(guarded([this, path] {
      {
        std::lock_guard lock(mutex_);
        pendingDeletes_.erase(path);
      }
      publish(Property::pendingDeletes);
    }));
  });
  {
    std::lock_guard lock(mutex_);
    auto it = pendingDeletes_.find(path);
    if (it != pendingDeletes_.end()) it->second.cancel();
    pendingDeletes_[path] = queue->postAfterSeconds(schedulable(seconds), std::move(task));
  }
  publish(Property::pendingDeletes);
}

void AppState::cleanup() {
  {
    std::lock_guard lock(mutex_);
    for (auto& [path, handle] : pendingDeletes_) handle.cancel();
    pendingDeletes_.clear();
  }
  publish(Property::pendingDeletes);
  fs::removeTree(sessionDir_);
}

}  // namespace caskel
