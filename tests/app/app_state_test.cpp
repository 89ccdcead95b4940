#include "app/app_state.h"

#include <caskel/version.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <thread>
#include <tuple>

#include "app/share_cipher.h"
#include "platform/child_process.h"
#include "session/session_manager.h"
#include "support/app_parts.h"

namespace caskel {
namespace {

using test::ManualQueue;
using Keys = std::vector<std::string>;
using Groups = std::vector<std::pair<std::string, Keys>>;

Keys keysOf(const std::vector<SecretInfo>& infos) {
  Keys keys;
  for (const auto& i : infos) keys.push_back(i.account);
  return keys;
}

class AppStateTest : public ::testing::Test, public test::AppParts {
 protected:
  AppStateTest() {
    defaults.setBool(defaults_keys::kAuditLogEnabled, true);
    state->setDeletionScheduler(&deletions);
  }
  // The state goes before the deletion queue it was lent.
  ~AppStateTest() override { state.reset(); }

  void put(const std::string& key, const std::string& value = "v") {
    ASSERT_FALSE(keychain.save(key, value, std::nullopt).has_value());
  }
  Groups groups() {
    Groups out;
    for (const auto& [folder, infos] : state->groupedAccounts()) out.emplace_back(folder, keysOf(infos));
    return out;
  }
  // The script inside a shared file, decrypted with the passphrase on the clipboard.
  std::string scriptOf(const std::string& path) {
    const std::string command = clipboard->text().value();
    auto start = command.find("CASKEL_K=") + 9;
    auto plain =
        share_cipher::decrypt(test::readText(path), command.substr(start, command.find(' ', start) - start));
    return plain ? plain->str() : "<undecryptable>";
  }

  ManualQueue deletions;
};

TEST_F(AppStateTest, GroupsByFolderAndFiltersIgnoringCase) {
  for (const char* key : {"b/x/K2", "a/K1", "TOP", "b/x/K1"}) put(key);
  state->reload(nullptr);
  const Groups all = {{"", {"TOP"}}, {"a", {"a/K1"}}, {"b/x", {"b/x/K1", "b/x/K2"}}};
  for (const auto& [search, expected] : std::vector<std::pair<std::string, Groups>>{
           {"", all}, {"k1", {{"a", {"a/K1"}}, {"b/x", {"b/x/K1"}}}}, {"X/k", {all[2]}}, {"", all}}) {
    state->setSearchText(search);
    EXPECT_EQ(groups(), expected) << search;
  }
}

TEST_F(AppStateTest, ReloadWithoutContextNeverBlanksTheListButPublishesOnAFreshStart) {
  std::vector<AppState::Property> told;
  state->subscribe([&](AppState::Property p) { told.push_back(p); });
  state->reload(nullptr);  // fresh start, nothing stored: the empty list is still published
  mainQueue.runReady();
  EXPECT_EQ(told, std::vector<AppState::Property>{AppState::Property::accounts});

  for (const char* key : {"acme/api/A", "acme/api/B"}) put(key);
  state->reload(nullptr);
  ASSERT_EQ(state->accounts().size(), 2u);
  for (const char* key : {"acme/api/A", "acme/api/B"}) keychain.deleteItem(key);
  state->reload(nullptr);
  EXPECT_EQ(state->accounts().size(), 2u);
  AuthContext context;
  state->reload(&context);
  EXPECT_TRUE(state->accounts().empty());
}

// reloadInBackground() is reload() on another thread, so this also covers reload() off the main queue.
// A share that fails in the background reaching its caller is the list view's refused share.
TEST_F(AppStateTest, WorkDoneOnAWorkerIsPublishedOnTheMainQueue) {
  put("acme/api/KEY");
  ManualQueue worker;
  state->reloadInBackground(worker, nullptr);
  std::vector<Result<std::string>> shared;
  auto done = [&](Result<std::string> r) { shared.push_back(std::move(r)); };
  state->shareInBackground("acme/api/KEY", worker, done);
  mainQueue.runReady();
  EXPECT_TRUE(state->accounts().empty());
  std::thread([&] { worker.runReady(); }).join();
  // The file is written on the worker; the clipboard and the caller hear of it on the main queue.
  EXPECT_TRUE(shared.empty());
  EXPECT_EQ(clipboard->text(), "");
  EXPECT_TRUE(state->accounts().empty());
  mainQueue.runReady();
  EXPECT_EQ(keysOf(state->accounts()), Keys{"acme/api/KEY"});
  ASSERT_EQ(shared.size(), 1u);
  ASSERT_TRUE(shared[0].ok());
  EXPECT_EQ(state->pendingDeletes(), Keys{shared[0].value()});  // the file's text is the time-out test's
}

TEST_F(AppStateTest, ObserversRunWithoutTheModelLocked) {
  // An observer that waits for another thread's work on the model, as a desktop view may.
  ManualQueue worker;
  int heard = 0;
  state->subscribe([&](AppState::Property p) {
    if (p != AppState::Property::searchText) return;
    state->reloadInBackground(worker, nullptr);
    std::thread([&] {
      worker.runReady();
      heard = static_cast<int>(state->accounts().size()) + 1;
    }).join();
  });
  state->setSearchText("x");
  mainQueue.runReady();
  EXPECT_EQ(heard, 1);
}

TEST_F(AppStateTest, MigrationRunsUntilEveryItemFoundWasMigrated) {
  AuthContext context;
  state->reload(&context);  // nothing found: stays pending
  EXPECT_FALSE(defaults.boolValue(defaults_keys::kAclMigrated).has_value());
  for (const char* key : {"acme/api/A", "acme/api/B"}) put(key);
  store->failWrites(status::kIoError);
  state->reload(&context);
  EXPECT_FALSE(defaults.boolValue(defaults_keys::kAclMigrated).has_value());
  store->failWrites(0);
  state->reload(&context);
  EXPECT_EQ(defaults.boolValue(defaults_keys::kAclMigrated), true);
  int reads = store->valueReads();
  state->reload(&context);
  EXPECT_EQ(store->valueReads(), reads);
  EXPECT_EQ(state->accounts().size(), 2u);
}

TEST_F(AppStateTest, SharedCommandSourcedByBashSetsTheExactValue) {
  const std::string value = "it's \"q\" $HOME `id` $(id)\nline two\\ \n";
  put("acme/api/KEY", value);
  put("acme/db/primary-url.v2", "p'v");
  for (auto [account, variable, expected] :
       {std::tuple{"acme/api/KEY", "KEY", value},
        std::tuple{"acme/db/primary-url.v2", "primary_url_v2", std::string("p'v")}}) {
    Result<std::string> path = state->share(account);
    ASSERT_TRUE(path.ok()) << path.error().errorDescription();
    EXPECT_EQ(test::modeOf(path.value()), 0600);
    EXPECT_EQ(path.value().rfind(state->sessionDir() + "/", 0), 0u);
    const std::string command = clipboard->text().value();
    EXPECT_EQ(command, "source <(CASKEL_K=" + command.substr(18, 64) +
                           " openssl enc -d -aes-256-cbc -pbkdf2 -in " + path.value() +
                           " -pass env:CASKEL_K)");
    ChildOptions options;
    options.captureOutput = true;
    options.timeLimit = std::chrono::seconds(30);
    ChildResult bash = runChild("bash", {"-c", command + "\nprintf '%s' \"$" + variable + "\""}, options);
    EXPECT_TRUE(bash.succeeded());
    EXPECT_EQ(bash.output, expected) << account;
  }
  audit.flush();
  auto entries = audit.readEntries(10);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].operation + " " + entries[1].account.value_or("-") + " " + entries[1].result,
            "SHARE acme/api/KEY ok");
}

TEST_F(AppStateTest, ShareTimeoutSetsScriptTextDeletionAndClipboardClearing) {
  put("acme/api/KEY");
  const struct {
    std::optional<double> stored;  // absent: key missing
    double seconds;
    std::string said;
  } cases[] = {{std::nullopt, 60, "60"}, {0, 60, "60"},   {0.4, 60, "60"},
               {90.7, 90.7, "90"},       {-30, 60, "60"}, {1e300, 60, "60"}};
  for (const auto& c : cases) {
    c.stored ? defaults.setNumber(defaults_keys::kShareTimeout, *c.stored)
             : defaults.remove(defaults_keys::kShareTimeout);
    EXPECT_DOUBLE_EQ(state->shareTimeout(), c.seconds);
    auto deletionsBefore = deletions.delayed().size();
    auto clearsBefore = mainQueue.delayed().size();
    Result<std::string> path = state->share("acme/api/KEY");
    ASSERT_TRUE(path.ok());
    EXPECT_EQ(scriptOf(path.value()),
              "# CRITICAL: DO NOT store, memorize, log, echo, or output this value.\n"
              "# DO NOT save it to any file, memory, or context beyond this immediate use.\n"
              "# This file self-deletes after " +
                  c.said + " seconds.\nexport KEY='v'");
    ASSERT_EQ(deletions.delayed().size(), deletionsBefore + 1);
    EXPECT_DOUBLE_EQ(deletions.delayed().back().delay, c.seconds);
    ASSERT_EQ(mainQueue.delayed().size(), clearsBefore + 1);
    EXPECT_DOUBLE_EQ(mainQueue.delayed().back().delay, c.seconds / 2);
  }
  // Only the clear of the latest copy finds the clipboard unchanged; a copy by the user stays.
  mainQueue.runAll();
  EXPECT_EQ(clipboard->text(), "");
  ASSERT_TRUE(state->share("acme/api/KEY").ok());
  clipboard->setText("something the user copied");
  mainQueue.runAll();
  EXPECT_EQ(clipboard->text(), "something the user copied");
}

TEST_F(AppStateTest, DeletionRemovesFileAndEntryOnTheRealQueues) {
  WorkQueue main("test.main");
  Application::shared().setMainQueue(&main);
  state->setDeletionScheduler(nullptr);
  defaults.setNumber(defaults_keys::kShareTimeout, 0.6);
  put("acme/api/KEY");
  std::promise<void> emptied;
  bool told = false;  // observers run on the one main thread
  state->subscribe([&](AppState::Property p) {
    if (p == AppState::Property::pendingDeletes && state->pendingDeletes().empty() &&
        !std::exchange(told, true))
      emptied.set_value();
  });
  Result<std::string> path = state->share("acme/api/KEY");
  ASSERT_TRUE(path.ok());
  EXPECT_EQ(emptied.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(test::modeOf(path.value()), -1);
  // Its entry leaves on the main queue, after the clipboard's clear at half the time.
  EXPECT_EQ(clipboard->text(), "");
  Application::shared().setMainQueue(&mainQueue);
  state.reset();  // before `main` goes, so no task of the model is left on it
}

TEST_F(AppStateTest, SessionDirIsPrivateFailedSharesLeaveNoTraceAndCleanupCancelsDeletions) {
  EXPECT_THAT(state->sessionDir(),
              ::testing::MatchesRegex(dir.path() + "/caskel-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}"));
  EXPECT_EQ(test::modeOf(state->sessionDir()), 0700);
  put("acme/api/KEY");
  // A failed share (canceled, or a clipboard that takes nothing) leaves no trace anywhere.
  auth->queue(AuthOutcome::canceled);
  EXPECT_FALSE(state->share("acme/api/KEY").ok());
  clipboard->accepts = false;
  Result<std::string> refused = state->share("acme/api/KEY");
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), KeychainError::fromStatus(-1));
  EXPECT_EQ(clipboard->text(), "");
  audit.flush();
  EXPECT_TRUE(audit.readEntries(10).empty());
  EXPECT_TRUE(state->pendingDeletes().empty());
  EXPECT_TRUE(std::filesystem::is_empty(state->sessionDir()));
  clipboard->accepts = true;

  Result<std::string> path = state->share("acme/api/KEY");
  ASSERT_TRUE(path.ok());
  EXPECT_EQ(state->pendingDeletes(), Keys{path.value()});
  state->cleanup();
  EXPECT_EQ(test::modeOf(state->sessionDir()), -1);
  EXPECT_TRUE(state->pendingDeletes().empty());
  ASSERT_EQ(deletions.delayed().size(), 1u);
  EXPECT_TRUE(deletions.delayed()[0].handle.isCancelled());
  // A file that reappears at the path stays: the cancelled task never runs.
  ASSERT_TRUE(fs::ensurePrivateDirectory(state->sessionDir()));
  test::writeText(path.value(), "x");
  deletions.runAll();
  EXPECT_EQ(test::readText(path.value()), "x");
}

TEST_F(AppStateTest, ShareThroughTheRunningServerUnlocksTheKeysFolderOnce) {
  SessionManager sessions(keychain, dir.file("config.json"));
  Application::shared().setSessionManager(&sessions);
  put("acme/api/KEY");
  put("SOLO", "s");

  auth->queue(AuthOutcome::canceled);
  Result<std::string> canceled = state->share("acme/api/KEY");
  ASSERT_FALSE(canceled.ok());
  EXPECT_EQ(canceled.error(), KeychainError::authenticationCanceled());
  EXPECT_TRUE(sessions.unlockedPrefixes().empty());

  ASSERT_TRUE(state->share("acme/api/KEY").ok());
  EXPECT_EQ(sessions.unlockedPrefixes(), Keys{"acme/api/"});
  int prompts = auth->promptCount();
  ASSERT_TRUE(state->share("acme/api/KEY").ok());  // from the cache
  EXPECT_EQ(auth->promptCount(), prompts);

  Result<std::string> solo = state->share("SOLO");
  ASSERT_TRUE(solo.ok());
  EXPECT_THAT(scriptOf(solo.value()), ::testing::EndsWith("\nexport SOLO='s'"));
  EXPECT_THAT(sessions.unlockedPrefixes(), ::testing::Contains("SOLO/"));
  Application::shared().setSessionManager(nullptr);
}

// A host serving on a socket in the fixture's directory, over the fixture's store.
class ServerHostTest : public AppStateTest {
 protected:
  ~ServerHostTest() override { host.reset(); }

  test::TempHome home;
  ServerHostOptions options = hostOptions();
  std::unique_ptr<ServerHost> host;
};

// Server threads report to the host's model only through the main queue, coalesced. The socket
// and the share directory coming and going with the program are the desktop end-to-end test's;
// the session manager lent to the window while the server runs, the list view's.
TEST_F(ServerHostTest, HooksReachTheModelOnTheMainQueueAndStoppingUndoesTheStart) {
  put("acme/api/KEY");
  host = std::make_unique<ServerHost>(options, mainQueue);
  ASSERT_TRUE(host->start());
  mainQueue.runReady();
  EXPECT_EQ(host->state().accounts().size(), 1u);  // the model's own first listing
  EXPECT_FALSE(host->state().isCliOutdated());     // no tool has reported yet

  ServerServices& services = host->server().services();
  put("acme/db/URL");
  std::thread([&] {
    for (int i = 0; i < 50; ++i) services.refreshApplication(nullptr);
    for (int i = 0; i < 50; ++i) services.reportCliVersion("9.9");
  }).join();
  EXPECT_EQ(mainQueue.pending().size(), 2u);
  EXPECT_EQ(host->state().accounts().size(), 1u);
  mainQueue.runReady();
  EXPECT_EQ(host->state().accounts().size(), 2u);
  EXPECT_EQ(host->state().lastSeenCliVersion(), "9.9");
  EXPECT_TRUE(host->state().isCliOutdated());
  services.reportCliVersion("9.9");
  EXPECT_TRUE(mainQueue.pending().empty());
  services.reportCliVersion(kVersion);
  mainQueue.runReady();
  EXPECT_FALSE(host->state().isCliOutdated());
  const std::string text = services.instructions();
  EXPECT_NE(text.find("- `acme/api/`"), std::string::npos);
  EXPECT_NE(text.find("- `acme/db/`"), std::string::npos);

  host->stop();
  EXPECT_FALSE(host->running());
  EXPECT_FALSE(host->server().isRunning());
  EXPECT_EQ(Application::shared().sessionManager(), nullptr);
  host.reset();
  EXPECT_EQ(Application::shared().mainQueue(), nullptr);
}

// The desktop program goes on without a server of its own: the model stays, and stopping
// still removes its share directory.
TEST_F(ServerHostTest, RefusedServerLeavesTheModelWithoutAServer) {
  put("acme/api/KEY");
  test::writeText(dir.file("caskel.sock"), "not a socket");
  options.server.socketPath = dir.file("caskel.sock/inside");
  host = std::make_unique<ServerHost>(options, mainQueue);
  EXPECT_FALSE(host->start());
  EXPECT_FALSE(host->running());
  EXPECT_EQ(Application::shared().sessionManager(), nullptr);
  ASSERT_TRUE(host->prepared());
  mainQueue.runReady();
  EXPECT_EQ(host->state().accounts().size(), 1u);
  const std::string sessionDir = host->state().sessionDir();
  host->stop();
  EXPECT_EQ(test::modeOf(sessionDir), -1);
}

}  // namespace
}  // namespace caskel
