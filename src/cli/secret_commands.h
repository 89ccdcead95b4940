#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/command_context.h"

namespace caskel::cli {

// Metadata flags of `set` and `meta`; a flag given as empty text clears that field.
struct MetadataFlags {
  std::optional<std::string> type, bundle, desc, expires, rotate;
  bool any() const { return type || bundle || desc || expires || rotate; }
  // Adds the given flags to a request; false (with a message) for an invalid --expires.
  bool addTo(nlohmann::json& request, const CommandContext& ctx) const;
};

// How `ls` shows the keys. The JSON shape is documented in the command's help (cli_app.cpp).
struct ListOptions {
  enum class Format { table, tree, json, names, folders };
  Format format = Format::table;
  // Never ask for the passphrase: an empty listing instead (shell completion).
  bool noPrompt = false;
};

int lsCommand(CommandContext& ctx, const std::string& prefix, const ListOptions& options);
// A listed key's name with the strict marker every listing shows.
std::string markedName(const ListedSecret& s);
// One listed key in the documented JSON shape: "account", "strict", and the metadata it has.
nlohmann::json listedJson(const ListedSecret& s, int64_t now);
int getCommand(CommandContext& ctx, const std::string& key, bool raw, bool copy);
int peekCommand(CommandContext& ctx, const std::string& key);
int rmCommand(CommandContext& ctx, const std::string& key);
int metaCommand(CommandContext& ctx, const std::string& key, const MetadataFlags& flags);
int strictCommand(CommandContext& ctx, const std::string& key, bool strict);
int setCommand(CommandContext& ctx, const std::string& key, bool fromClipboard, const MetadataFlags& flags,
               bool strict);

// "EXPIRED(<date>)", "EXPIRES-SOON(<date>)" (within 14 days) or "" for an `expires` text at
// time `now`; a text that is not a valid yyyy-MM-dd date gives "".
std::string expiryLabel(const std::string& expires, int64_t now);
// Whether text is a real calendar date written yyyy-MM-dd.
bool isValidDate(const std::string& text);

}  // namespace caskel::cli
