#include "cli/rotate_command.h"

#include "cli/cli_platform.h"
#include "cli/server_client.h"

namespace caskel::cli {

int rotateCommand(CommandContext& ctx, const std::string& key, bool fromClipboard) {
  if (!isValidKeyPath(key)) {
    ctx.error("Error: invalid key \"" + key + "\" — use only letters, numbers, /, _, ., - (max 512 chars).");
    return kExitUsage;
  }
  // The peek is shown so the person can tell which credential they are about to replace; a
  // missing peek is not fatal (older items have none).
  Exchange peek = ctx.client().send({{"cmd", "peek"}, {"account", key}});
  if (peek.failure != TransportFailure::kNone) {
    ctx.error(peek.detail);
    return kExitFailed;
  }
  std::string text = "Rotating " + key + "\n";
  auto ok = peek.reply.find("ok");
  auto value = peek.reply.find("value");
  if (ok != peek.reply.end() && ok->is_boolean() && ok->get<bool>() && value != peek.reply.end() &&
      value->is_string()) {
    text += "  Current value starts with: " + value->get<std::string>() + "\n";
  }
  text +=
      "\n"
      "  1. Create a new credential at the provider (keep the old one active for now).\n"
      "  2. Copy the new value" +
      std::string(fromClipboard ? " to the clipboard.\n"
                                : ", then paste it at the prompt below (input hidden).\n") +
      "  3. Caskel stores it and keeps the old value as " + key +
      "_OLD for one hour.\n"
      "  4. Update whatever uses the credential, then revoke the old one at the provider.\n\n";
  ctx.out(text);
  if (fromClipboard && ctx.io().inIsTerminal) {
    if (!ctx.confirm("Is the new value on the clipboard?")) {
      ctx.error("Rotation cancelled; nothing changed.");
      return kExitFailed;
    }
  }
  auto newValue = ctx.readSecret(fromClipboard, "New value for " + key + " (input hidden): ");
  if (!newValue) return kExitFailed;
  nlohmann::json request = {{"cmd", "rotate"}, {"account", key}};
  request["value"] = std::move(*newValue);
  auto reply = ctx.call(std::move(request));
  if (!reply) return kExitFailed;
  if (fromClipboard) ctx.clearClipboard();
  auto peekText = reply->find("value");
  ctx.out("Rotated " + key +
          (peekText != reply->end() && peekText->is_string()
               ? " — new value starts with " + peekText->get<std::string>()
               : std::string()) +
          "\nThe old value stays as " + key + "_OLD for one hour, then it is deleted.\n");
  return kExitOk;
}

}  // namespace caskel::cli
