#include "cli/session_commands.h"

#include "base/duration.h"
#include "base/key_path.h"
#include "base/shell_text.h"

namespace caskel::cli {

namespace {
constexpr int64_t kDefaultTimeout = 14400;

std::optional<int64_t> timeoutOrComplain(const CommandContext& ctx, const std::string& text) {
  auto seconds = parseDuration(text);
  if (!seconds) {
    ctx.error("Error: invalid time-out \"" + text + "\" — use for example 8h, 90m, 45s, 1h30m or seconds.");
  }
  return seconds;
}

int64_t integerField(const nlohmann::json& j, const char* key, int64_t fallback) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_number()) return fallback;
  return it->get<int64_t>();
}

std::string textField(const nlohmann::json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}
}  // namespace

int unlockCommand(CommandContext& ctx, const std::string& prefix, const std::optional<std::string>& timeout) {
  nlohmann::json request = {{"cmd", "unlock"}, {"prefix", prefix}};
  int64_t seconds = kDefaultTimeout;
  if (timeout) {
    auto parsed = timeoutOrComplain(ctx, *timeout);
    if (!parsed) return kExitUsage;
    seconds = *parsed;
    request["timeout"] = seconds;
  }
  auto reply = ctx.call(std::move(request));
  if (!reply) return kExitFailed;
  std::string count = textField(*reply, "value");
  ctx.out("Unlocked " + normalizePrefix(prefix) + " for " + formatDuration(seconds) + " (" +
          (count.empty() ? "0" : count) + (count == "1" ? " key" : " keys") + " cached).\n");
  return kExitOk;
}

int lockCommand(CommandContext& ctx, const std::optional<std::string>& prefix) {
  nlohmann::json request = {{"cmd", "lock"}};
  if (prefix) request["prefix"] = *prefix;
  if (!ctx.call(std::move(request))) return kExitFailed;
  ctx.out(prefix ? "Locked " + normalizePrefix(*prefix) + "\n" : std::string("Locked every session.\n"));
  return kExitOk;
}

int sessionCommand(CommandContext& ctx, bool json) {
  auto reply = ctx.call({{"cmd", "session"}});
  if (!reply) return kExitFailed;
  auto unlocked = reply->find("unlocked");
  std::string text;
  nlohmann::json list = nlohmann::json::array();
  if (unlocked != reply->end() && unlocked->is_array()) {
    for (const auto& s : *unlocked) {
      if (!s.is_object()) continue;
      int64_t count = integerField(s, "count", 0);
      // Rebuilt from the fields this tool knows, so the shape stays what the help says.
      list.push_back({{"prefix", textField(s, "prefix")}, {"count", count}});
      text += textField(s, "prefix") + "  " + std::to_string(count) + (count == 1 ? " key" : " keys") + "\n";
    }
  }
  if (json) {
    ctx.out(list.dump(2) + "\n");
    return kExitOk;
  }
  ctx.out(text.empty() ? "No unlocked sessions.\n" : text);
  return kExitOk;
}

int configCommand(CommandContext& ctx, const ConfigOptions& options) {
  if (options.remove) {
    if (options.prefix || options.timeout) {
      ctx.error("Error: use either --remove PREFIX or --prefix PREFIX --timeout DURATION.");
      return kExitUsage;
    }
    if (!ctx.call({{"cmd", "config"}, {"action", "set"}, {"prefix", *options.remove}})) return kExitFailed;
    ctx.out("Removed the time-out of " + normalizePrefix(*options.remove) + " (the default applies).\n");
    return kExitOk;
  }
  if (options.prefix || options.timeout) {
    if (!options.prefix || !options.timeout) {
      ctx.error("Error: --prefix and --timeout go together (or use --remove PREFIX).");
      return kExitUsage;
    }
    auto seconds = timeoutOrComplain(ctx, *options.timeout);
    if (!seconds) return kExitUsage;
    if (!ctx.call(
            {{"cmd", "config"}, {"action", "set"}, {"prefix", *options.prefix}, {"timeout", *seconds}})) {
      return kExitFailed;
    }
    ctx.out("Auto-unlock time-out of " + normalizePrefix(*options.prefix) + " set to " +
            formatDuration(*seconds) + ".\n");
    return kExitOk;
  }
  auto reply = ctx.call({{"cmd", "config"}});
  if (!reply) return kExitFailed;
  const int64_t defaultTimeout = integerField(*reply, "default_timeout", kDefaultTimeout);
  std::string text = "Default auto-unlock time-out: " + formatDuration(defaultTimeout) + "\n";
  nlohmann::json list = nlohmann::json::array();
  auto timeouts = reply->find("timeouts");
  if (timeouts != reply->end() && timeouts->is_array()) {
    for (const auto& t : *timeouts) {
      if (!t.is_object()) continue;
      list.push_back({{"prefix", textField(t, "prefix")}, {"timeout", integerField(t, "timeout", 0)}});
      text += textField(t, "prefix") + "  " + formatDuration(integerField(t, "timeout", 0)) + "\n";
    }
  }
  if (options.json) {
    ctx.out(nlohmann::json{{"default_timeout", defaultTimeout}, {"timeouts", std::move(list)}}.dump(2) +
            "\n");
    return kExitOk;
  }
  ctx.out(text);
  return kExitOk;
}

}  // namespace caskel::cli
