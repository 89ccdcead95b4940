#include "cli/secret_commands.h"

#include <algorithm>
#include <set>

#include "base/civil_date.h"
#include "base/display_text.h"
#include "base/key_path.h"
#include "base/shell_text.h"
#include "cli/agent_payload.h"
#include "cli/cli_platform.h"
#include "cli/clipboard_tool.h"
#include "cli/key_tree.h"
#include "cli/secret_script.h"

namespace caskel::cli {

namespace {

constexpr int64_t kSoonSeconds = 14 * 24 * 3600;

std::optional<int64_t> parseDate(const std::string& text) {
  const auto date = parseCivilDate(text);
  if (!date) return std::nullopt;
  return localMidnight(date->year, date->month, date->day);
}

std::string replyValue(const nlohmann::json& reply) {
  auto it = reply.find("value");
  return it != reply.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string describe(const ListedSecret& s, int64_t now) {
  std::string line;
  if (s.type) line += "  [" + *s.type + "]";
  if (s.bundle) line += "  bundle:" + *s.bundle;
  if (s.expires) {
    std::string label = expiryLabel(*s.expires, now);
    line += "  " + (label.empty() ? "expires:" + *s.expires : label);
  }
  if (s.rotate) line += "  rotate:" + *s.rotate;
  if (s.desc) line += "  — " + *s.desc;
  return line;
}

}  // namespace

bool isValidDate(const std::string& text) {
  return parseDate(text).has_value();
}

std::string expiryLabel(const std::string& expires, int64_t now) {
  auto when = parseDate(expires);
  if (!when) return "";
  if (*when < now) return "EXPIRED(" + expires + ")";
  if (*when <= now + kSoonSeconds) return "EXPIRES-SOON(" + expires + ")";
  return "";
}

std::string markedName(const ListedSecret& s) {
  return s.strict ? s.account + " [strict]" : s.account;
}

nlohmann::json listedJson(const ListedSecret& s, int64_t now) {
  // Peeks are left out: the listing is meant to be safe to show anywhere, also to an agent,
  // and `caskel guard` treats a peek in output as a leak.
  nlohmann::json e = {{"account", s.account}, {"strict", s.strict}};
  if (s.type) e["type"] = *s.type;
  if (s.bundle) e["bundle"] = *s.bundle;
  if (s.desc) e["desc"] = *s.desc;
  if (s.expires) {
    e["expires"] = *s.expires;
    std::string label = expiryLabel(*s.expires, now);
    if (label.starts_with("EXPIRED")) e["expired"] = true;
    if (label.starts_with("EXPIRES-SOON")) e["expires_soon"] = true;
  }
  if (s.rotate) e["rotate"] = *s.rotate;
  return e;
}

namespace {

// Names for shell completion: one a line, so a name with a line break in it (planted in the
// vault by hand) is left out rather than read as two.
bool printableName(std::string_view name) {
  return std::none_of(name.begin(), name.end(), [](char c) { return c == '\n' || c == '\r'; });
}

std::string namesText(const std::vector<ListedSecret>& secrets, bool folders) {
  std::set<std::string> names;
  for (const auto& s : secrets) {
    if (!printableName(s.account)) continue;
    if (!folders) {
      names.insert(s.account);
      continue;
    }
    for (size_t slash = s.account.find('/'); slash != std::string::npos;
         slash = s.account.find('/', slash + 1)) {
      names.insert(s.account.substr(0, slash + 1));
    }
  }
  std::string text;
  for (const auto& n : names) text += n + "\n";
  return text;
}

}  // namespace

int lsCommand(CommandContext& ctx, const std::string& prefix, const ListOptions& options) {
  using Format = ListOptions::Format;
  auto secrets = ctx.list(prefix, !options.noPrompt);
  if (!secrets) return kExitFailed;
  const int64_t now = nowSeconds();
  switch (options.format) {
    case Format::names:
    case Format::folders:
      ctx.out(namesText(*secrets, options.format == Format::folders));
      return kExitOk;
    case Format::json: {
      nlohmann::json list = nlohmann::json::array();
      for (const auto& s : *secrets) list.push_back(listedJson(s, now));
      ctx.out(list.dump(2) + "\n");
      return kExitOk;
    }
    case Format::tree:
    case Format::table:
      break;
  }
  if (secrets->empty()) {
    ctx.out(prefix.empty() ? "No secrets stored.\n" : "No secrets under " + normalizePrefix(prefix) + "\n");
    return kExitOk;
  }
  if (options.format == Format::tree) {
    KeyTree tree;
    for (const auto& s : *secrets) tree.add(s.account, (s.strict ? " [strict]" : "") + describe(s, now));
    ctx.out(tree.render());
    return kExitOk;
  }
  size_t width = 0;
  for (const auto& s : *secrets) width = std::max(width, markedName(s).size());
  width = std::min<size_t>(width, 60);
  std::string text;
  for (const auto& s : *secrets) {
    std::string line = markedName(s);
    std::string meta = describe(s, now);
    if (!meta.empty() && line.size() < width) line.append(width - line.size(), ' ');
    text += line + meta + "\n";
  }
  ctx.out(text);
  return kExitOk;
}

int getCommand(CommandContext& ctx, const std::string& key, bool raw, bool copy) {
  // Background helpers run our code without exec, keeping a copy of our memory: they are
  // forked now, before the value exists in this process, and only learn a path or a digest.
  ClipboardTool clipboard;
  DetachedTask clearer;
  std::optional<SecretScript> script;
  if (copy) {
    clipboard = ClipboardTool::detect();
    if (clipboard.available()) clearer = clipboard.clearLater(ClipboardTool::clearDelaySeconds());
  } else if (!raw) {
    script.emplace();
  }
  // The request says when raw output is wanted, so that the server can refuse an agent at
  // once. No "version" round trip first: one round trip keeps the tool as fast as a script
  // needs it, and an encrypted reply to --raw or --copy is refused below without decrypting.
  nlohmann::json request = {{"cmd", "get"}, {"account", key}};
  if (raw) request["output"] = "raw";
  if (copy) request["output"] = "copy";
  auto reply = ctx.call(std::move(request));
  if (!reply) return kExitFailed;
  std::string value = replyValue(*reply);
  if (auto it = reply->find("value"); it != reply->end() && it->is_string())
    wipe(it->get_ref<std::string&>());
  std::string error;
  std::optional<std::string> path;
  if (value == "__error__") {
    auto e = reply->find("error");
    ctx.error("Error: " + (e != reply->end() && e->is_string() ? e->get<std::string>()
                                                               : "the server could not "
                                                                 "encrypt the value"));
    return kExitFailed;
  }
  if (value == "__encrypted__") {
    if (raw || copy) {
      // The server answered as to an agent after all: never decrypt for output.
      return ctx.refuseForAgent(raw ? "caskel get --raw" : "caskel get --copy", "`caskel get <key>`");
    }
    auto payload = agentPayloadFromReply(*reply);
    if (!payload) {
      ctx.error("Error: the server's encrypted reply is malformed.");
      return kExitFailed;
    }
    path =
        script->write([&](const std::string& p) { return SecretScript::encryptedText(p, *payload); }, error);
  } else if (raw) {
    ctx.out(value);
    if (ctx.io().outIsTerminal) ctx.out("\n");
    wipe(value);
    return kExitOk;
  } else if (copy) {
    bool copied = clipboard.available() && clipboard.copy(value);
    if (copied) clearer.start(ClipboardTool::fingerprint(value));
    wipe(value);
    if (!copied) {
      ctx.error(
          "Error: could not copy to the clipboard — install wl-clipboard (Wayland), xclip or xsel (X11).");
      return kExitFailed;
    }
    ctx.error("Copied " + key + " to the clipboard (cleared in " +
              std::to_string(ClipboardTool::clearDelaySeconds()) + "s).");
    return kExitOk;
  } else {
    const std::string name = envVarName(key);
    path =
        script->write([&](const std::string& p) { return SecretScript::plainText(p, name, value); }, error);
    wipe(value);
  }
  if (!path) {
    ctx.error("Error: " + error);
    return kExitFailed;
  }
  ctx.out("source " + shellSingleQuote(*path) + "\n");
  return kExitOk;
}

int peekCommand(CommandContext& ctx, const std::string& key) {
  auto reply = ctx.call({{"cmd", "peek"}, {"account", key}});
  if (!reply) return kExitFailed;
  ctx.out(shownValueStart(replyValue(*reply)) + "\n");
  return kExitOk;
}

int rmCommand(CommandContext& ctx, const std::string& key) {
  // The server deletes a missing key without complaint; the person should hear that nothing
  // was there (a mistyped name, say). Asked of the listing, so no prompt is spent on it.
  auto stored = ctx.find(key);
  if (!stored) return kExitFailed;
  if (!*stored) {
    ctx.error("Error: " + displaySafe(key, kMaxShownKey) + " does not exist — nothing deleted.");
    return kExitFailed;
  }
  if (!ctx.call({{"cmd", "rm"}, {"account", key}})) return kExitFailed;
  ctx.out("Deleted " + displaySafe(key, kMaxShownKey) + "\n");
  return kExitOk;
}

int metaCommand(CommandContext& ctx, const std::string& key, const MetadataFlags& flags) {
  if (!flags.any()) {
    ctx.error("Error: nothing to change — give --type, --bundle, --desc, --expires or --rotate.");
    return kExitUsage;
  }
  if (!flags.valid(ctx)) return kExitUsage;
  nlohmann::json request = {{"cmd", "meta"}, {"account", key}};
  flags.addTo(request);
  if (!ctx.call(std::move(request))) return kExitFailed;
  ctx.out("Updated metadata of " + key + "\n");
  return kExitOk;
}

int strictCommand(CommandContext& ctx, const std::string& key, bool strict) {
  if (!ctx.call({{"cmd", "meta"}, {"account", key}, {"strict", strict}})) return kExitFailed;
  ctx.out(strict
              ? key + " is now strict: every read asks for the passphrase and it is never session-cached.\n"
              : key + " is no longer strict.\n");
  return kExitOk;
}

int setCommand(CommandContext& ctx, const std::string& key, bool fromClipboard, const MetadataFlags& flags) {
  if (!ctx.checkFullKey(key)) return kExitUsage;
  if (!flags.valid(ctx)) return kExitUsage;
  nlohmann::json request = {{"cmd", "set"}, {"account", key}};
  if (flags.any()) {
    // Metadata sent with "set" replaces the item's, so the fields no flag names are sent as
    // they are stored now.
    auto stored = ctx.find(key);
    if (!stored) return kExitFailed;
    request.update(flags.mergedWith(*stored));
  }
  auto value = ctx.readSecret(fromClipboard, "Value for " + key + " (input hidden): ");
  if (!value) return kExitFailed;
  request["value"] = std::move(*value);
  wipe(*value);
  auto reply = ctx.call(std::move(request));
  if (!reply) return kExitFailed;
  if (fromClipboard) ctx.clearClipboard();
  ctx.out("Stored " + key + " (" + shownValueStart(replyValue(*reply)) + ")\n");
  return kExitOk;
}

}  // namespace caskel::cli
