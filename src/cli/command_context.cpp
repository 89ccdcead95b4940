#include "cli/command_context.h"

#include "base/display_text.h"
#include "base/key_path.h"
#include "base/shell_text.h"
#include "cli/cli_platform.h"
#include "cli/clipboard_tool.h"

namespace caskel::cli {

namespace {
std::optional<std::string> optionalText(const nlohmann::json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

void dropOneLineBreak(std::string& value) {
  if (value.ends_with("\r\n")) {
    value.resize(value.size() - 2);
  } else if (value.ends_with('\n')) {
    value.pop_back();
  }
}
}  // namespace

CommandContext::CommandContext(CliIo& io) : io_(io) {}

void CommandContext::error(std::string_view line) const {
  std::string text(line);
  text += '\n';
  io_.err(text);
}

const ServerClient& CommandContext::client() {
  if (!client_) client_.emplace(ServerClient::defaultSocketPath());
  return *client_;
}

std::optional<nlohmann::json> CommandContext::call(nlohmann::json request) {
  Exchange ex = client().send(std::move(request));
  if (ex.failure != TransportFailure::kNone) {
    error(ex.detail);
    return std::nullopt;
  }
  auto ok = ex.reply.find("ok");
  if (ok == ex.reply.end() || !ok->is_boolean() || !ok->get<bool>()) {
    error("Error: " + optionalText(ex.reply, "error").value_or("the server refused the request"));
    return std::nullopt;
  }
  return std::move(ex.reply);
}

std::optional<bool> CommandContext::isAgent() {
  auto reply = call({{"cmd", "version"}});
  if (!reply) return std::nullopt;
  auto agent = reply->find("agent");
  return agent != reply->end() && agent->is_boolean() && agent->get<bool>();
}

int CommandContext::refuseForAgent(std::string_view command, std::string_view alternative) const {
  error("Error: `" + std::string(command) +
        "` is blocked for AI agents — it would put secret values into your output. Use " +
        std::string(alternative) + " instead.");
  return kExitFailed;
}

bool isUnderPrefix(std::string_view account, std::string_view prefix) {
  if (prefix.empty()) return true;
  std::string folder = normalizePrefix(prefix);
  return account.starts_with(folder) || account == prefix;
}

std::optional<std::vector<ListedSecret>> CommandContext::list(std::string_view prefix, bool mayPrompt) {
  nlohmann::json request = {{"cmd", "ls"}};
  if (!prefix.empty()) request["prefix"] = std::string(prefix);
  if (!mayPrompt) request["no_prompt"] = true;
  auto reply = call(std::move(request));
  if (!reply) return std::nullopt;
  std::vector<ListedSecret> secrets;
  auto accounts = reply->find("accounts");
  if (accounts == reply->end() || !accounts->is_array()) return secrets;
  for (const auto& entry : *accounts) {
    if (!entry.is_object()) continue;
    auto account = optionalText(entry, "account");
    if (!account || !isUnderPrefix(*account, prefix)) continue;
    ListedSecret s;
    s.account = *account;
    s.type = optionalText(entry, "type");
    s.bundle = optionalText(entry, "bundle");
    s.desc = optionalText(entry, "desc");
    s.expires = optionalText(entry, "expires");
    s.peek = optionalText(entry, "peek");
    s.rotate = optionalText(entry, "rotate");
    auto strict = entry.find("strict");
    s.strict = strict != entry.end() && strict->is_boolean() && strict->get<bool>();
    secrets.push_back(std::move(s));
  }
  return secrets;
}

std::optional<std::optional<ListedSecret>> CommandContext::find(const std::string& key) {
  // The listing is asked without a prefix: a key that is not a valid prefix (one planted by
  // an older version, say) must still be found.
  auto listed = list("", false);
  if (!listed) return std::nullopt;
  for (auto& s : *listed) {
    if (s.account == key) return std::optional<ListedSecret>(std::move(s));
  }
  return std::optional<ListedSecret>();
}

std::optional<std::string> CommandContext::readSecret(bool fromClipboard, std::string_view prompt) {
  std::optional<std::string> value;
  if (fromClipboard) {
    ClipboardTool clipboard = ClipboardTool::detect();
    if (!clipboard.available()) {
      error("Error: no clipboard tool found — install wl-clipboard (Wayland), xclip or xsel (X11).");
      return std::nullopt;
    }
    value = clipboard.paste();
    if (!value) {
      error("Error: could not read the clipboard.");
      return std::nullopt;
    }
  } else if (!io_.inIsTerminal) {
    value = readAll(io_.inFd, ServerClient::kMaxRequestBytes);
    if (!value) {
      error("Error: could not read the value from standard input (at most 64 KiB).");
      return std::nullopt;
    }
  } else {
    io_.err(prompt);
    value = readHiddenLine(io_.inFd);
    if (!value) {
      error("Error: no value entered.");
      return std::nullopt;
    }
  }
  dropOneLineBreak(*value);
  if (value->empty()) {
    error(!fromClipboard && !io_.inIsTerminal
              ? "Error: no value on standard input — pipe the value in, or use --clipboard. Nothing stored."
              : "Error: the value is empty — nothing stored.");
    return std::nullopt;
  }
  return value;
}

void CommandContext::clearClipboard() {
  ClipboardTool::detect().clear();
}

bool CommandContext::checkFullKey(const std::string& key) const {
  if (!isValidKeyPath(key)) {
    error("Error: invalid key \"" + displaySafe(key, kMaxShownKey) +
          "\" — use only letters, numbers, /, _, ., -, space (max 512 chars).");
    return false;
  }
  if (!isFullKeyPath(key)) {
    error("Error: " + notFullKeyText(key) + ".");
    return false;
  }
  return true;
}

std::string shownValueStart(std::string_view text) {
  return displaySafe(text, kMaxShownKey);
}

bool CommandContext::confirm(std::string_view question) {
  auto answer = ask(std::string(question) + " [y/N] ");
  return answer &&
         (*answer == "y" || *answer == "Y" || *answer == "yes" || *answer == "YES" || *answer == "Yes");
}

std::optional<std::string> CommandContext::ask(std::string_view question) {
  if (!io_.inIsTerminal) return std::nullopt;
  io_.err(question);
  return readLine(io_.inFd);
}

}  // namespace caskel::cli
