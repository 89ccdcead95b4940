#include "app/instructions_file.h"

#include <cerrno>

#include "base/utf8.h"
#include "platform/file_system.h"

namespace caskel {

namespace {

// Far beyond any instructions file; a larger pick is surely not one and is not loaded whole.
constexpr size_t kMaxFileBytes = 8 * 1024 * 1024;

// errno is cleared before each step: a refusal that sets none (a directory, a device, a file
// too large) still gets a description.
InstructionsOutcome failedWithErrno(const char* otherwise) {
  return {InstructionsOutcome::Kind::failed, errno != 0 ? fs::lastErrorText() : otherwise};
}

// The target of a link, so that rewriting replaces the linked file and keeps the link; the path
// itself for a file that does not exist yet.
std::string writeTarget(const std::string& path) {
  return fs::resolvedPath(path).value_or(path);
}

}  // namespace

std::optional<std::string> withInstructionsAppended(std::string_view existing,
                                                    std::string_view instructions) {
  if (existing.find("Credential Management") != std::string_view::npos ||
      existing.find("caskel") != std::string_view::npos) {
    return std::nullopt;
  }
  // Two line feeds whatever the old text ends with, so a file without its final line feed is
  // still set apart from the instructions by a blank line.
  std::string text(existing);
  text += "\n\n";
  text += instructions;
  text += "\n";
  return text;
}

std::string newInstructionsFile(std::string_view instructions) {
  std::string text = "# Project Instructions\n\n";
  text += instructions;
  text += "\n";
  return text;
}

InstructionsOutcome appendInstructionsToFile(const std::string& path, std::string_view instructions) {
  const std::string target = writeTarget(path);
  errno = 0;
  std::optional<std::string> existing = fs::readFile(target, kMaxFileBytes);
  if (!existing) return failedWithErrno("Not a readable text file");
  if (!isValidUtf8(*existing)) return {InstructionsOutcome::Kind::notText, {}};
  std::optional<std::string> text = withInstructionsAppended(*existing, instructions);
  if (!text) return {InstructionsOutcome::Kind::alreadyConfigured, {}};
  const mode_t mode = fs::permissionsOf(target).value_or(0600);
  errno = 0;
  if (!fs::writeFileAtomically(target, *text, mode)) return failedWithErrno("The file could not be written");
  return {InstructionsOutcome::Kind::added, {}};
}

InstructionsOutcome createInstructionsFile(const std::string& path, std::string_view instructions) {
  errno = 0;
  if (!fs::writeFileAtomically(writeTarget(path), newInstructionsFile(instructions), 0600)) {
    return failedWithErrno("The file could not be written");
  }
  return {InstructionsOutcome::Kind::created, {}};
}

UserNotice instructionsNotice(const InstructionsOutcome& outcome, const std::string& fileName) {
  switch (outcome.kind) {
    case InstructionsOutcome::Kind::added:
      return {"Instructions added", "Caskel instructions appended to " + fileName};
    case InstructionsOutcome::Kind::created:
      return {"File created", "Caskel instructions saved to " + fileName};
    case InstructionsOutcome::Kind::alreadyConfigured:
      return {"Already configured", "This file already contains Caskel instructions."};
    case InstructionsOutcome::Kind::notText:
      return {"Failed to save", fileName + " is not UTF-8 text, so it was left unchanged."};
    case InstructionsOutcome::Kind::failed:
      break;
  }
  return {"Failed to save", outcome.error};
}

}  // namespace caskel
