#include "fake_vault.h"

#include "fake_server.h"

namespace caskel::test {

void FakeVault::put(const std::string& account, const std::string& value, nlohmann::json meta) {
  std::lock_guard<std::mutex> lock(mutex_);
  meta["peek"] = value.substr(0, 8);
  items_[account] = {value, std::move(meta)};
}

std::optional<std::string> FakeVault::value(const std::string& account) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = items_.find(account);
  if (it == items_.end()) return std::nullopt;
  return it->second.first;
}

nlohmann::json FakeVault::meta(const std::string& account) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = items_.find(account);
  return it == items_.end() ? nlohmann::json() : it->second.second;
}

void FakeVault::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  items_.clear();
}

nlohmann::json FakeVault::handle(const nlohmann::json& r) {
  const std::string cmd = r.value("cmd", "");
  const std::string account = r.value("account", "");
  if (cmd == "version") {
    nlohmann::json reply = {{"ok", true}, {"value", "0.1.0"}};
    if (agent_) reply["agent"] = true;
    return reply;
  }
  if (cmd == "ls") {
    nlohmann::json accounts = nlohmann::json::array();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [a, item] : items_) {
      nlohmann::json e = item.second;
      e.erase("strict");
      e["account"] = a;
      accounts.push_back(e);
    }
    return {{"ok", true}, {"accounts", accounts}};
  }
  if (cmd == "get") {
    auto v = value(account);
    if (!v) return {{"ok", false}, {"error", "Secret not found"}};
    if (agent_) return agentGetReply(account, *v);
    return {{"ok", true}, {"value", *v}};
  }
  if (cmd == "set") {
    const std::string v = r.value("value", "");
    nlohmann::json meta = nlohmann::json::object();
    for (const char* k : {"type", "bundle", "desc", "expires", "rotate", "strict"}) {
      if (r.contains(k)) meta[k] = r[k];
    }
    put(account, v, meta);
    return {{"ok", true}, {"value", v.substr(0, 8) + "..."}};
  }
  if (cmd == "peek") {
    auto v = value(account);
    if (!v) return {{"ok", false}, {"error", "No peek data — re-save the secret to generate it"}};
    return {{"ok", true}, {"value", v->substr(0, 8) + (v->size() >= 8 ? "..." : "")}};
  }
  if (cmd == "rm") {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.erase(account);
    return {{"ok", true}};
  }
  if (cmd == "rotate") {
    auto old = value(account);
    if (!old) return {{"ok", false}, {"error", "Failed to read old value: Secret not found"}};
    put(account + "_OLD", *old, {{"type", "rotated_backup"}});
    const std::string v = r.value("value", "");
    put(account, v, meta(account));
    return {{"ok", true}, {"value", v.substr(0, 8) + "..."}};
  }
  if (cmd == "unlock") return {{"ok", true}, {"value", "2"}};
  if (cmd == "lock" || cmd == "meta" || cmd == "config") {
    if (cmd == "config" && !r.contains("action")) {
      return {{"ok", true},
              {"default_timeout", 14400},
              {"timeouts", {{{"prefix", "acme/api/"}, {"timeout", 7200}}}}};
    }
    return {{"ok", true}};
  }
  if (cmd == "session") return {{"ok", true}, {"unlocked", {{{"prefix", "acme/api/"}, {"count", 3}}}}};
  if (cmd == "ai-instructions") return {{"ok", true}, {"value", "## Credential Management (`caskel`)"}};
  return {{"ok", false}, {"error", "Unknown command: " + cmd}};
}

}  // namespace caskel::test
