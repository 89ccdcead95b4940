#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/command_context.h"
#include "cli/metadata_flags.h"

namespace caskel::cli {

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
// Stores a value. With flags, the item's other metadata is kept: the tool reads it from the
// listing (no prompt) and sends the whole merged record.
int setCommand(CommandContext& ctx, const std::string& key, bool fromClipboard, const MetadataFlags& flags);

// "EXPIRED(<date>)", "EXPIRES-SOON(<date>)" (within 14 days) or "" for an `expires` text at
// time `now`; a text that is not a valid yyyy-MM-dd date gives "".
std::string expiryLabel(const std::string& expires, int64_t now);
// Whether text is a real calendar date written yyyy-MM-dd.
bool isValidDate(const std::string& text);

}  // namespace caskel::cli
