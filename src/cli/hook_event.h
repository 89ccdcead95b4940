#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace caskel::cli {

// The event a coding agent hands a post-tool hook on standard input (Claude Code's PostToolUse:
// a JSON object with "hook_event_name", "tool_name", "tool_input" and "tool_response"). Only
// the tool's output is kept: that is what the agent is about to read.
struct HookEvent {
  std::string toolName;
  // Every string in "tool_response", decoded (JSON escapes undone, so text looks as it did on
  // screen) and joined by line breaks; empty when the event carries no output.
  std::string output;

  // Nullopt when the text is not a JSON object that names a tool or carries a tool response.
  static std::optional<HookEvent> parse(std::string_view text);
};

// Appends every string inside `j`, decoded, each followed by a line break: a tool's output sits
// in hook JSON as escaped strings, and is scanned as it looked on screen.
void appendJsonStrings(const nlohmann::json& j, std::string& out);

// What the hook says on standard error when the output holds stored secrets: the keys, never
// their values, and what the agent should do. `toolName` and the keys come from outside and
// are shown on one line each way.
std::string hookLeakWarning(std::string_view toolName, const std::vector<std::string>& accounts);

}  // namespace caskel::cli
