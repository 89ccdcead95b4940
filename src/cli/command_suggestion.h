#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace caskel::cli {

// Edits between two words: insertions, deletions, substitutions, and swaps of two neighbours
// (the commonest typo) each count one.
size_t editDistance(std::string_view a, std::string_view b);

// The name the user most likely meant by `typed`: the closest by edit distance when close
// enough (one edit for words of up to three letters, two for longer ones; of two as close, the
// one that starts with what was typed), else the only name that starts with it; nothing when
// no name fits.
std::optional<std::string> closestName(std::string_view typed, const std::vector<std::string>& names);

// "Unknown command \"lss\". Did you mean \"ls\"?", or a pointer to the list of commands;
// `path` names the command whose subcommand was mistyped ("bundle"), or is empty.
std::string unknownCommandMessage(std::string_view path, std::string_view typed,
                                  const std::vector<std::string>& names);

}  // namespace caskel::cli
