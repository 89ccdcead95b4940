#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "cli/agent_payload.h"
#include "cli/cli_platform.h"

namespace caskel::cli {

// The self-deleting script that `caskel get` hands out: sourcing it sets one variable and
// removes the file; unsourced, a background process removes it after its lifetime.
class SecretScript {
 public:
  // Starts the background process that will remove the script. Made before the value is
  // fetched: that process keeps a copy of our memory, and only the script's path reaches it.
  SecretScript();

  // 60 seconds, or $CASKEL_SCRIPT_TTL_SECONDS when that is shorter (never longer).
  static int lifetimeSeconds();
  // $XDG_RUNTIME_DIR/caskel, else /tmp/caskel-<uid>; private (0700) either way.
  static std::string directory();

  // Script texts; `path` is where the script lives, so that it can remove itself first thing.
  static std::string plainText(const std::string& path, std::string_view name, std::string_view value);
  // Carries only the encrypted fragment, which is decrypted by openssl when sourced.
  static std::string encryptedText(const std::string& path, const AgentPayload& payload);

  // Writes a new script (0600) in the private directory and schedules its removal; returns its
  // path. `text` builds the content from the path. Once per object.
  std::optional<std::string> write(const std::function<std::string(const std::string&)>& text,
                                   std::string& error);

 private:
  DetachedTask remover_;
};

}  // namespace caskel::cli
