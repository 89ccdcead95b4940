#include "handler_harness.h"

#include <algorithm>

#include "server/command_support.h"

namespace caskel::test {

HandlerTest::HandlerTest() {
  Authenticator::setShared(auth);
  audit.setEnabled(true);
}

HandlerTest::~HandlerTest() { Authenticator::setShared(nullptr); }

CallerInfo HandlerTest::callerOf(int32_t pid, bool isAgent) {
  CallerInfo caller;
  caller.pid = caller.resolvedPid = pid;
  caller.resolvedStartTime = caller.peerStartTime = 1000 + pid;
  caller.resolvedPath = isAgent ? "/usr/bin/claude" : "/usr/bin/zsh";
  caller.name = isAgent ? "Claude" : "zsh";
  caller.isAgent = isAgent;
  caller.hasTTY = true;
  caller.terminal = 34816;
  return caller;
}

void HandlerTest::put(const std::string& account, const std::string& value, const nlohmann::json& metadata) {
  nlohmann::json body = metadata.is_object() ? metadata : nlohmann::json::object();
  ASSERT_FALSE(keychain.save(account, value, requestMetadata(body)).has_value()) << account;
}

void HandlerTest::unlock(const CallerInfo& caller, const std::string& prefix) {
  ASSERT_TRUE(sessions.unlock(prefix, 3600, caller.binding(), std::nullopt).unlocked());
  newPrompts();
  // The harness's own yes must not stand in for a prompt a handler is expected to show.
  auth->forgetLastSuccess();
}

bool HandlerTest::strict(const std::string& account) const {
  auto metadata = keychain.readMetadata(account);
  return metadata && metadata->strict.value_or(false);
}

std::vector<std::string> HandlerTest::newPrompts() {
  std::vector<std::string> all = auth->reasons(), verbs;
  for (size_t i = promptsSeen_; i < all.size(); ++i) {
    const std::string& reason = all[i];
    verbs.push_back(reason.substr(0, std::min(reason.find(" \""), reason.find(" —"))));
  }
  promptsSeen_ = all.size();
  return verbs;
}

std::vector<std::string> HandlerTest::audited() {
  std::vector<std::string> lines;
  for (const AuditEntry& entry : audit.readEntries(1000)) {
    lines.insert(lines.begin(), entry.operation + " " + entry.account.value_or("-") + " " + entry.result);
  }
  return lines;
}

}  // namespace caskel::test
