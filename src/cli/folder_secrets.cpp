#include "cli/folder_secrets.h"

#include <set>

#include "base/key_path.h"
#include "base/shell_text.h"
#include "cli/agent_payload.h"
#include "cli/cli_platform.h"

namespace caskel::cli {

FetchedSecret::~FetchedSecret() {
  wipe(value);
}

std::optional<std::vector<std::string>> folderAccounts(CommandContext& ctx, const std::string& prefix) {
  auto listed = ctx.list(prefix);
  if (!listed) return std::nullopt;
  const std::string folder = normalizePrefix(prefix);
  std::vector<std::string> accounts;
  for (const auto& s : *listed) {
    // Direct members only: a key with no "/" belongs to no folder.
    if (s.account.find('/') != std::string::npos && sessionPrefixOf(s.account) == folder) {
      accounts.push_back(s.account);
    }
  }
  if (accounts.empty()) {
    ctx.error("Error: no secrets in " + folder);
    return std::nullopt;
  }
  return accounts;
}

std::optional<FetchedValues> fetchValues(CommandContext& ctx, const std::vector<std::string>& accounts,
                                         bool decryptForAgent) {
  FetchedValues fetched;
  std::set<std::string> names;
  for (const auto& account : accounts) {
    std::string name = envVarName(account);
    if (!names.insert(name).second) {
      ctx.error("Warning: " + account + " has the same variable name as another key (" + name +
                "); skipped.");
      continue;
    }
    auto reply = ctx.call({{"cmd", "get"}, {"account", account}});
    if (!reply) return std::nullopt;
    auto v = reply->find("value");
    if (v == reply->end() || !v->is_string()) {
      ctx.error("Error: the server sent no value for " + account);
      return std::nullopt;
    }
    std::string& text = v->get_ref<std::string&>();
    FetchedSecret secret;
    secret.account = account;
    secret.name = name;
    if (text == "__error__") {
      ctx.error("Error: the server could not encrypt " + account);
      return std::nullopt;
    }
    if (text == "__encrypted__") {
      fetched.servedToAgent = true;
      auto payload = agentPayloadFromReply(*reply);
      std::optional<std::string> value;
      if (decryptForAgent && payload) value = decryptAgentValue(*payload);
      if (!value) {
        ctx.error(decryptForAgent ? "Error: could not decrypt the server's reply for " + account
                                  : "Error: the server treats this process as an AI agent; values are not "
                                    "printed for agents. Use `caskel run <prefix> -- <command>` instead.");
        return std::nullopt;
      }
      secret.value = std::move(*value);
    } else {
      secret.value = text;
    }
    wipe(text);
    fetched.secrets.push_back(std::move(secret));
  }
  return fetched;
}

}  // namespace caskel::cli
