#include "cli/hook_event.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "base/display_text.h"

namespace caskel::cli {

namespace {

void wipeStrings(nlohmann::json& j) {
  if (j.is_string()) {
    auto& s = j.get_ref<std::string&>();
    std::fill(s.begin(), s.end(), '\0');
  } else if (j.is_structured()) {
    for (auto& item : j) wipeStrings(item);
  }
}

}  // namespace

void appendJsonStrings(const nlohmann::json& j, std::string& out) {
  if (j.is_string()) {
    out += j.get_ref<const std::string&>();
    out += '\n';
  } else if (j.is_structured()) {
    for (const auto& item : j) appendJsonStrings(item, out);
  }
}

std::optional<HookEvent> HookEvent::parse(std::string_view text) {
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  auto tool = j.find("tool_name");
  auto response = j.find("tool_response");
  const bool named = tool != j.end() && tool->is_string();
  if (!named && response == j.end()) return std::nullopt;
  HookEvent event;
  if (named) event.toolName = tool->get<std::string>();
  if (response != j.end()) appendJsonStrings(*response, event.output);
  // The parsed copy held the output too.
  wipeStrings(j);
  return event;
}

std::string hookLeakWarning(std::string_view toolName, const std::vector<std::string>& accounts) {
  std::string keys;
  for (size_t i = 0; i < accounts.size(); ++i) {
    if (i > 0) keys += i + 1 == accounts.size() ? " and " : ", ";
    keys += displaySafe(accounts[i], kMaxShownKey);
  }
  const std::string tool =
      toolName.empty() ? "the tool" : "the " + displaySafe(toolName, kMaxShownName) + " tool";
  return "caskel guard: WARNING — the output of " + tool + " contains the start of the stored secret" +
         (accounts.size() == 1 ? " " : "s ") + keys +
         ". Do not repeat, store or send it anywhere. Tell the user, so that they can rotate it "
         "(`caskel rotate <key>`).\n";
}

}  // namespace caskel::cli
