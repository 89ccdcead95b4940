#include "cli/rotate_command.h"

#include "cli/cli_platform.h"
#include "cli/server_client.h"

namespace caskel::cli {

int rotateCommand(CommandContext& ctx, const std::string& key, bool fromClipboard) {
  if (!ctx.checkFullKey(key)) return kExitUsage;
  // A missing key is said before the person creates a credential and types it in for nothing.
  auto stored = ctx.find(key);
  if (!stored) return kExitFailed;
  if (!*stored) {
    ctx.error("Error: " + key + " does not exist — nothing to rotate. Store it with `caskel set " + key +
              "`.");
    return kExitFailed;
  }
  // The stored start of the value tells the person which credential they are about to
  // replace; older items have none.
  std::string text = "Rotating " + key + "\n";
  if (const auto& peek = (*stored)->peek) {
    text += "  Current value starts with: " + shownValueStart(*peek + "...") + "\n";
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
               ? " — new value starts with " + shownValueStart(peekText->get<std::string>())
               : std::string()) +
          "\nThe old value stays as " + key + "_OLD for one hour, then it is deleted.\n");
  return kExitOk;
}

}  // namespace caskel::cli
