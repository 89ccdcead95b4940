#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/user_notice.h"

namespace caskel {

// Writing the agent instructions into a project's Markdown file (CLAUDE.md and the like).

// The text of a file with the instructions appended, or nothing when the file already holds
// them (it mentions "Credential Management" or "caskel" anywhere, case-sensitive): the old text,
// two line feeds, the instructions and a line feed.
std::optional<std::string> withInstructionsAppended(std::string_view existing, std::string_view instructions);

// A new file's text: a title, a blank line, the instructions and a line feed.
std::string newInstructionsFile(std::string_view instructions);

struct InstructionsOutcome {
  enum class Kind { added, created, alreadyConfigured, notText, failed };
  Kind kind = Kind::failed;
  std::string error;  // the system's description, for `failed`
};

// Appends to the file at `path`, atomically, keeping its permissions. A file that is not UTF-8
// text is never rewritten.
InstructionsOutcome appendInstructionsToFile(const std::string& path, std::string_view instructions);
// Creates or replaces the file at `path` (0600 when new), atomically.
InstructionsOutcome createInstructionsFile(const std::string& path, std::string_view instructions);

// The notification that tells the user how it went; `fileName` is the file's last path piece.
UserNotice instructionsNotice(const InstructionsOutcome& outcome, const std::string& fileName);

}  // namespace caskel
