#include "cli/audit_command.h"

#include "base/display_text.h"

namespace caskel::cli {

namespace {

// The file is the user's, so anyone could have written into it: nothing in a record may move
// the terminal's cursor or forge a line.
constexpr size_t kMaxShownField = 1024;

std::string field(const nlohmann::json& entry, const char* key) {
  auto it = entry.find(key);
  if (it == entry.end() || !it->is_string()) return {};
  return displaySafe(it->get<std::string>(), kMaxShownField);
}

std::string recordLine(const nlohmann::json& entry) {
  std::string line = "[" + field(entry, "timestamp") + "] " + field(entry, "operation");
  if (entry.contains("account")) line += " account=" + field(entry, "account");
  return line + " result=" + field(entry, "result") + "\n";
}

int show(CommandContext& ctx, int lines) {
  auto reply = ctx.call({{"cmd", "audit"}, {"action", "show"}, {"limit", lines}});
  if (!reply) return kExitFailed;
  auto entries = reply->find("entries");
  std::string text;
  if (entries != reply->end() && entries->is_array()) {
    // The server answers newest first; a log reads top to bottom.
    for (auto it = entries->rbegin(); it != entries->rend(); ++it) {
      if (it->is_object()) text += recordLine(*it);
    }
  }
  ctx.out(text.empty() ? "The audit log is empty.\n" : text);
  auto enabled = reply->find("enabled");
  if (enabled != reply->end() && enabled->is_boolean() && !enabled->get<bool>()) {
    ctx.error("Audit logging is off — `caskel audit on` turns it on.");
  }
  return kExitOk;
}

}  // namespace

int auditCommand(CommandContext& ctx, const std::string& action, int lines) {
  if (action == "show") return show(ctx, lines);
  auto reply = ctx.call({{"cmd", "audit"}, {"action", action}});
  if (!reply) return kExitFailed;
  const std::string path = field(*reply, "path");
  if (action == "clear") {
    ctx.out("Cleared the audit log.\n");
  } else if (field(*reply, "value") == "on") {
    ctx.out("Audit logging is on: " + path + "\n");
  } else {
    ctx.out("Audit logging is off.\n");
  }
  return kExitOk;
}

}  // namespace caskel::cli
