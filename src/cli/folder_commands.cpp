#include "cli/folder_commands.h"

#include <map>

#include "base/display_text.h"
#include "base/key_path.h"
#include "base/shell_text.h"
#include "cli/cli_platform.h"
#include "cli/folder_secrets.h"
#include "cli/secret_commands.h"

namespace caskel::cli {

namespace {

constexpr size_t kMaxDotEnvBytes = 4 * 1024 * 1024;
// When a bulk import stores several keys, one unlock of the folder spares the person a prompt
// per key; the session is kept short because nobody asked for one.
constexpr int kImportSessionSeconds = 120;

const char* kUseRunInstead =
    "`caskel run <prefix> -- <command>` (values go into the command's environment, never into output) or "
    "`caskel get <key>`";

int printExports(CommandContext& ctx, const std::vector<std::string>& accounts, bool withExport) {
  auto fetched = fetchValues(ctx, accounts, false);
  if (!fetched) return kExitFailed;
  std::string text;
  for (const auto& s : fetched->secrets) {
    text += (withExport ? "export " : "") + s.name + "=" + shellSingleQuote(s.value) + "\n";
  }
  ctx.out(text);
  wipe(text);
  return kExitOk;
}

}  // namespace

int loadCommand(CommandContext& ctx, const std::string& prefix, bool withExport) {
  auto agent = ctx.isAgent();
  if (!agent) return kExitFailed;
  if (*agent) return ctx.refuseForAgent(withExport ? "caskel load" : "caskel env", kUseRunInstead);
  auto accounts = folderAccounts(ctx, prefix);
  if (!accounts) return kExitFailed;
  return printExports(ctx, *accounts, withExport);
}

int exportCommand(CommandContext& ctx, const std::string& prefix, const std::string& file, bool force) {
  auto agent = ctx.isAgent();
  if (!agent) return kExitFailed;
  if (*agent) return ctx.refuseForAgent("caskel export", kUseRunInstead);
  if (!force && pathExists(file)) {
    ctx.error("Error: " + file + " already exists — use --force to replace it.");
    return kExitFailed;
  }
  auto accounts = folderAccounts(ctx, prefix);
  if (!accounts) return kExitFailed;
  auto fetched = fetchValues(ctx, *accounts, false);
  if (!fetched) return kExitFailed;
  std::string text = "# Exported by caskel from " + normalizePrefix(prefix) + "\n";
  for (const auto& s : fetched->secrets) text += formatDotEnvLine(s.name, s.value);
  std::string error;
  bool ok = writeFileAtomic(file, text, 0600, error);
  wipe(text);
  if (!ok) {
    ctx.error("Error: " + error);
    return kExitFailed;
  }
  ctx.out("Wrote " + std::to_string(fetched->secrets.size()) + " keys to " + file + " (mode 0600).\n");
  return kExitOk;
}

std::optional<DotEnvFile> readDotEnvFile(const CommandContext& ctx, const std::string& file) {
  std::string error;
  auto text = readFile(file, kMaxDotEnvBytes, error);
  if (!text) {
    ctx.error("Error: " + error);
    return std::nullopt;
  }
  DotEnvFile parsed = parseDotEnv(*text);
  wipe(*text);
  for (const auto& p : parsed.problems) {
    ctx.error("Warning: " + file + " line " + std::to_string(p.line) + ": " + p.message + " (skipped)");
  }
  return parsed;
}

int importEntries(CommandContext& ctx, const std::string& prefix, const std::vector<DotEnvEntry>& entries,
                  const std::string& source) {
  const std::string folder = normalizePrefix(prefix);
  // Later assignments win, as when a shell reads the file; the first position is kept.
  std::vector<std::string> order;
  std::map<std::string, std::string> values;
  for (const auto& e : entries) {
    if (values.find(e.key) == values.end()) order.push_back(e.key);
    values[e.key] = e.value;
  }
  if (order.empty()) {
    ctx.error("Error: no entries to import from " + displaySafe(source, kMaxShownPath));
    return kExitFailed;
  }
  for (const auto& key : order) {
    if (!isFullKeyPath(folder + key)) {
      ctx.error(
          "Error: " + displaySafe(folder + key, kMaxShownKey) +
          " is not a full key path (org/proj/KEY: letters, numbers, /, _, ., -, space; no empty, . or .. "
          "part); nothing imported.");
      return kExitUsage;
    }
  }
  if (order.size() > 1) {
    if (!ctx.call({{"cmd", "unlock"},
                   {"prefix", folder},
                   {"timeout", kImportSessionSeconds},
                   {"allow_empty", true}})) {
      for (auto& [k, v] : values) wipe(v);
      return kExitFailed;
    }
  }
  size_t stored = 0;
  for (const auto& key : order) {
    std::string& value = values[key];
    if (ctx.call({{"cmd", "set"}, {"account", folder + key}, {"value", value}})) {
      ++stored;
      ctx.out("Stored " + folder + key + "\n");
    }
    wipe(value);
  }
  ctx.out("Imported " + std::to_string(stored) + " of " + std::to_string(order.size()) + " keys from " +
          displaySafe(source, kMaxShownPath) + " into " + folder + "\n");
  return stored == order.size() ? kExitOk : kExitFailed;
}

int importCommand(CommandContext& ctx, const std::string& prefix, const std::string& file) {
  auto parsed = readDotEnvFile(ctx, file);
  if (!parsed) return kExitFailed;
  int rc = importEntries(ctx, prefix, parsed->entries, file);
  for (auto& e : parsed->entries) wipe(e.value);
  return rc;
}

int bundleListCommand(CommandContext& ctx, const std::string& prefix, bool json) {
  auto listed = ctx.list(prefix);
  if (!listed) return kExitFailed;
  std::map<std::string, std::vector<const ListedSecret*>> bundles;
  for (const auto& s : *listed) {
    if (s.bundle && !s.bundle->empty()) bundles[*s.bundle].push_back(&s);
  }
  if (json) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [bundle, members] : bundles) {
      nlohmann::json accounts = nlohmann::json::array();
      for (const ListedSecret* s : members)
        accounts.push_back({{"account", s->account}, {"strict", s->strict}});
      list.push_back({{"bundle", bundle}, {"accounts", std::move(accounts)}});
    }
    ctx.out(list.dump(2) + "\n");
    return kExitOk;
  }
  if (bundles.empty()) {
    ctx.out("No bundles under " + normalizePrefix(prefix) + "\n");
    return kExitOk;
  }
  std::string text;
  for (const auto& [bundle, members] : bundles) {
    text += bundle + "  (" + std::to_string(members.size()) + (members.size() == 1 ? " key)\n" : " keys)\n");
    for (const ListedSecret* s : members) text += "  " + markedName(*s) + "\n";
  }
  ctx.out(text);
  return kExitOk;
}

int bundleLoadCommand(CommandContext& ctx, const std::string& bundlePath) {
  auto agent = ctx.isAgent();
  if (!agent) return kExitFailed;
  if (*agent) return ctx.refuseForAgent("caskel bundle load", kUseRunInstead);
  size_t slash = bundlePath.rfind('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == bundlePath.size()) {
    ctx.error("Error: name the bundle with its prefix, e.g. org/proj/BUNDLE.");
    return kExitUsage;
  }
  const std::string prefix = bundlePath.substr(0, slash);
  const std::string bundle = bundlePath.substr(slash + 1);
  auto listed = ctx.list(prefix);
  if (!listed) return kExitFailed;
  std::vector<std::string> accounts;
  for (const auto& s : *listed) {
    if (s.bundle && *s.bundle == bundle) accounts.push_back(s.account);
  }
  if (accounts.empty()) {
    ctx.error("Error: no keys in bundle " + bundle + " under " + normalizePrefix(prefix));
    return kExitFailed;
  }
  return printExports(ctx, accounts, true);
}

}  // namespace caskel::cli
