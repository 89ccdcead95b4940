#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cli/command_tree.h"

namespace caskel::cli {

// Shell completion for the tool, made from its command tree: commands and subcommands,
// options, and for arguments what they name — stored keys ("key", "--only"), folders
// ("prefix", "bundle", "--prefix", "--remove"), files, programs after `run … --`. Stored
// names come from `caskel ls --names|--folders --no-prompt`, which never asks for the
// passphrase: a Tab must not put a prompt on the screen.
class CompletionScript {
 public:
  static constexpr const char* kShells[] = {"bash", "zsh", "fish"};

  // The script for `shell`, or nothing for a shell it does not know.
  static std::optional<std::string> forShell(std::string_view shell, const CommandTree& tree);

 private:
  static std::string bash(const CommandTree& tree);
  static std::string zsh(const CommandTree& tree);
  static std::string fish(const CommandTree& tree);
};

}  // namespace caskel::cli
