#pragma once

#include <gmock/gmock.h>

#include <algorithm>

#include "audit/audit_logger.h"
#include "platform/defaults_store.h"
#include "server/backup_timers.h"
#include "server/command_support.h"
#include "store/keychain_error.h"
#include "support/fakes.h"
#include "support/test_env.h"

namespace caskel::test {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Prompts = std::vector<std::string>;
constexpr AuthOutcome kYes = AuthOutcome::success, kNo = AuthOutcome::canceled;
// The key most handler cases work on.
inline constexpr const char* kKey = "org/p/K";

// The command handlers over an in-memory vault, a scripted authenticator and a real session
// manager and audit log; requests go through the dispatcher and come back as replies, with no
// socket in between.
class HandlerTest : public ::testing::Test {
 protected:
  HandlerTest() {
    Authenticator::setShared(auth);
    audit.setEnabled(true);
  }
  ~HandlerTest() override { Authenticator::setShared(nullptr); }

  Reply ask(const CallerInfo& caller, const nlohmann::json& body) {
    return handler.respond(caller, body.dump());
  }
  Reply ask(const nlohmann::json& body) { return ask(person, body); }
  // The reply's value ("" for none), or "error: " and its error.
  static std::string shown(const Reply& reply) {
    return reply.error() ? "error: " + *reply.error() : std::string(reply.value().value_or(""));
  }

  // Stores without a prompt; `metadata` as a request would give it.
  void put(const std::string& account, const std::string& value, const nlohmann::json& metadata = {}) {
    nlohmann::json body = metadata.is_object() ? metadata : nlohmann::json::object();
    ASSERT_FALSE(keychain.save(account, value, requestMetadata(body)).has_value()) << account;
  }
  // A running session of `caller` over `prefix`; its prompt is not counted by newPrompts().
  void unlock(const CallerInfo& caller, const std::string& prefix) {
    ASSERT_TRUE(sessions.unlock(prefix, 3600, caller.binding(), std::nullopt).unlocked());
    newPrompts();
    // The harness's own yes must not stand in for a prompt a handler is expected to show.
    auth->forgetLastSuccess();
  }
  std::optional<std::string> stored(const std::string& account) const {
    return store->rawValue("caskel", account);
  }
  std::optional<std::string> cached(const std::string& account, const CallerInfo& caller) {
    auto value = sessions.cachedValue(account, caller.binding());
    return value ? std::optional(value->str()) : std::nullopt;
  }
  // The prompts shown since the last call, each cut to its verb ("Unlock", "Read strict secret").
  std::vector<std::string> newPrompts() {
    std::vector<std::string> all = auth->reasons(), verbs;
    for (size_t i = promptsSeen_; i < all.size(); ++i)
      verbs.push_back(all[i].substr(0, std::min(all[i].find(" \""), all[i].find(" \u2014"))));
    promptsSeen_ = all.size();
    return verbs;
  }
  // "OPERATION account result" for every audit record, oldest first.
  std::vector<std::string> audited() {
    std::vector<std::string> lines;
    for (const AuditEntry& entry : audit.readEntries(1000))
      lines.insert(lines.begin(), entry.operation + " " + entry.account.value_or("-") + " " + entry.result);
    return lines;
  }

  TempHome home;
  std::shared_ptr<FakeAuthenticator> auth = std::make_shared<FakeAuthenticator>();
  std::shared_ptr<MemoryCredentialStore> store = std::make_shared<MemoryCredentialStore>();
  KeychainManager keychain{"caskel", store};
  DefaultsStore defaults{home.configDir() + "/defaults.json"};
  AuditLogger audit{home.configDir(), defaults};
  SessionManager sessions{keychain, home.configDir() + "/config.json"};
  WorkQueue clientQueue{"test.clients"};
  BackupTimers backupTimers;
  ServerServices services{keychain, sessions, audit,       clientQueue,  nullptr, nullptr,
                          nullptr,  "",       home.path(), backupTimers, 3600};
  RequestHandler handler{services};
  CallerInfo person = callerOf(4100, false);
  CallerInfo agent = callerOf(4200, true);
  // A person's program that left its terminal: refused like an agent where a person must answer.
  CallerInfo detached = callerOf(4300, false, true);

  static CallerInfo callerOf(int32_t pid, bool isAgent, bool detached = false) {
    CallerInfo c;
    c.pid = c.resolvedPid = pid;
    c.resolvedStartTime = c.peerStartTime = 1000 + pid;
    c.resolvedPath = isAgent ? "/usr/bin/claude" : "/usr/bin/zsh";
    c.name = isAgent ? "Claude" : "zsh";
    c.isAgent = isAgent;
    c.hasTTY = !detached;
    c.terminal = detached ? 0 : 34816;
    c.detached = detached;
    return c;
  }

 private:
  size_t promptsSeen_ = 0;
};

}  // namespace caskel::test
