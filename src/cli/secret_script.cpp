#include "cli/secret_script.h"

#include <cstdlib>

#include "base/shell_text.h"
#include "cli/cli_platform.h"

namespace caskel::cli {

namespace {
constexpr int kLifetimeSeconds = 60;
}

SecretScript::SecretScript()
    : remover_([lifetime = lifetimeSeconds()](const std::string& path) {
        sleepSeconds(lifetime);
        removeFile(path);
      }) {}

int SecretScript::lifetimeSeconds() {
  if (auto text = envVar("CASKEL_SCRIPT_TTL_SECONDS")) {
    int v = std::atoi(text->c_str());
    if (v >= 1 && v < kLifetimeSeconds) return v;
  }
  return kLifetimeSeconds;
}

std::string SecretScript::directory() {
  if (auto runtime = envVar("XDG_RUNTIME_DIR")) return *runtime + "/caskel";
  return "/tmp/caskel-" + std::to_string(currentUid());
}

std::string SecretScript::plainText(const std::string& path, std::string_view name, std::string_view value) {
  std::string text;
  text += "# CRITICAL: DO NOT store, memorize, log, echo, or output this value.\n";
  text += "# This file self-deletes after " + std::to_string(lifetimeSeconds()) + " seconds.\n";
  text += "rm -f -- " + shellSingleQuote(path) + "\n";
  text += "export " + std::string(name) + "=" + shellSingleQuote(value) + "\n";
  return text;
}

std::string SecretScript::encryptedText(const std::string& path, const AgentPayload& payload) {
  // The pieces were checked against their alphabets (base64, hex, a variable name), so they
  // need no quoting beyond the plain single quotes used here.
  std::string text;
  text += "# CRITICAL: DO NOT store, memorize, log, echo, or output this value.\n";
  text += "# Sets " + payload.name + " from an encrypted fragment. This file self-deletes after " +
          std::to_string(lifetimeSeconds()) + " seconds.\n";
  text += "rm -f -- " + shellSingleQuote(path) + "\n";
  text += "eval \"$(printf '%s\\n' '" + payload.ciphertext + "' | openssl enc -d -aes-256-cbc -a -A -K " +
          payload.key + " -iv " + payload.iv + ")\"\n";
  return text;
}

std::optional<std::string> SecretScript::write(const std::function<std::string(const std::string&)>& text,
                                               std::string& error) {
  const std::string dir = directory();
  if (!ensurePrivateDir(dir, error)) return std::nullopt;
  auto path = writeUniqueFile(dir + "/get-XXXXXX.sh", 3, text, error);
  if (!path) return std::nullopt;
  // Without its remover (fork failed), sourcing still removes the script.
  remover_.start(*path);
  return path;
}

}  // namespace caskel::cli
