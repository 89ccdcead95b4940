#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/agent_instructions.h"
#include "platform/auth_context.h"
#include "platform/clipboard.h"
#include "platform/work_queue.h"
#include "store/keychain_error.h"
#include "store/keychain_manager.h"
#include "store/secret_metadata.h"

namespace caskel {

class AuditLogger;
class DefaultsStore;

// The observable model behind every screen. Its properties are main-queue state: change them
// on the main queue; reload() may be called from any thread and publishes on the main queue.
class AppState {
 public:
  enum class Property { accounts, searchText, lastSeenCliVersion, hasLoaded, pendingDeletes };
  using Observer = std::function<void(Property)>;

  AppState(KeychainManager keychain, DefaultsStore& defaults, AuditLogger& audit,
           std::shared_ptr<Clipboard> clipboard, std::string sessionDirRoot = "/tmp");
  ~AppState();

  // Subscribers are told after a property changed (on the main queue). Returns an id for unsubscribe.
  int subscribe(Observer observer);
  void unsubscribe(int id);

  std::vector<SecretInfo> accounts() const;
  std::string searchText() const;
  void setSearchText(std::string text);
  std::optional<std::string> lastSeenCliVersion() const;
  void setLastSeenCliVersion(std::string version);
  const std::string& sessionDir() const { return sessionDir_; }
  bool hasLoaded() const;
  void setHasLoaded(bool value);
  std::vector<std::string> pendingDeletes() const;

  std::vector<SecretInfo> filteredAccounts() const;
  std::vector<std::pair<std::string, std::vector<SecretInfo>>> groupedAccounts() const;
  bool isCliOutdated() const;
  double shareTimeout() const;

  void reload(AuthContext* context);
  // The same on `worker`; the listing is published on the main queue.
  void reloadInBackground(TaskQueue& worker, std::shared_ptr<AuthContext> context);
  // The encrypted file's path, or the error that stopped the share. Asks for the passphrase
  // when the key's folder is locked, so the desktop runs it off the main queue:
  Result<std::string> share(const std::string& account);
  // share() with the prompt and encryption on `worker`, and the clipboard, the deletion timer
  // and `done` on the main queue.
  using ShareDone = std::function<void(Result<std::string>)>;
  void shareInBackground(const std::string& account, TaskQueue& worker, ShareDone done);
  // The value as the window reads it: the running server's session cache, else a session
  // unlock of the key's folder for this process (which prompts), else a prompting store read
  // when no server runs here. Blocks while the prompt is open: call it off the main queue.
  Result<SecretString> obtainValue(const std::string& account);
  void scheduleDeletion(const std::string& path, double seconds);
  void cleanup();

  const std::string& clipboardCommand() const { return lastClipboardCommand_; }

  // Where shared-file deletions are scheduled (tests watch the delays); null restores the
  // model's own queue. Set it before the first share.
  void setDeletionScheduler(TaskQueue* queue) { deletionScheduler_ = queue; }

 private:
  // Tasks that outlive a call hold this; the destructor marks it dead and waits for tasks
  // under way, so a late task either finishes first or finds the model gone. No lock is held
  // while a task runs, observers included.
  struct Liveness {
    std::mutex mutex;
    std::condition_variable idle;
    bool alive = true;
    int running = 0;  // tasks under way; the destructor waits for them (so none may destroy it)
  };
  // A share's first half (any thread) and second half (main queue).
  struct PreparedShare {
    std::string account;
    std::string path;
    std::string command;
    double timeout = 0;
  };
  Result<PreparedShare> prepareShare(const std::string& account);
  Result<std::string> finishShare(const PreparedShare& prepared);
  TaskQueue::Task guarded(TaskQueue::Task task) const;
  void publish(Property property);
  void setAccounts(std::vector<SecretInfo> accounts);

  KeychainManager keychain_;
  DefaultsStore& defaults_;
  AuditLogger& audit_;
  std::shared_ptr<Clipboard> clipboard_;
  std::string sessionDir_;
  mutable std::mutex mutex_;
  std::vector<SecretInfo> accounts_;
  std::string searchText_;
  std::optional<std::string> lastSeenCliVersion_;
  bool hasLoaded_ = false;
  std::map<std::string, TaskHandle> pendingDeletes_;
  std::map<int, Observer> observers_;
  int nextObserverId_ = 1;
  std::string lastClipboardCommand_;
  std::shared_ptr<Liveness> life_ = std::make_shared<Liveness>();
  TaskQueue* deletionScheduler_ = nullptr;
  WorkQueue deletionQueue_{"caskel.share-deletions"};
};

}  // namespace caskel
