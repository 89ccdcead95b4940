#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cli/command_context.h"

namespace caskel::cli {

// Metadata flags of `set` and `meta`; a flag given as empty text clears that field.
struct MetadataFlags {
  std::optional<std::string> type, bundle, desc, expires, rotate;
  std::optional<bool> strict;  // --strict / --no-strict of `set`

  bool any() const { return type || bundle || desc || expires || rotate || strict; }
  // False (with a message) when --expires is given and is not a real YYYY-MM-DD date.
  bool valid(const CommandContext& ctx) const;
  // Adds just the given flags to a request ("meta" merges them with the item on its side).
  void addTo(nlohmann::json& request) const;
  // The whole metadata for a "set" request, whose metadata replaces the item's: what is
  // stored now (nullopt for a new key) with the fields these flags name replaced, an empty
  // text dropping its field. "strict" is always sent, so that clearing the last field still
  // counts as metadata given rather than as "keep what is there".
  nlohmann::json mergedWith(const std::optional<ListedSecret>& stored) const;
};

}  // namespace caskel::cli
