#include "cli/command_suggestion.h"

#include <algorithm>

#include "base/display_text.h"

namespace caskel::cli {

size_t editDistance(std::string_view a, std::string_view b) {
  // Three rows of the table suffice for the swap rule.
  std::vector<size_t> older(b.size() + 1), prev(b.size() + 1), cur(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        cur[j] = std::min(cur[j], older[j - 2] + 1);
      }
    }
    older.swap(prev);
    prev.swap(cur);
  }
  return prev[b.size()];
}

std::optional<std::string> closestName(std::string_view typed, const std::vector<std::string>& names) {
  if (typed.empty()) return std::nullopt;
  const size_t allowed = typed.size() <= 3 ? 1 : 2;
  std::optional<std::string> best;
  size_t bestDistance = allowed + 1;
  for (const auto& name : names) {
    const size_t d = editDistance(typed, name);
    if (d < bestDistance ||
        (d == bestDistance && best && !best->starts_with(typed) && name.starts_with(typed))) {
      bestDistance = d;
      best = name;
    }
  }
  if (best) return best;
  std::vector<std::string> starting;
  std::copy_if(names.begin(), names.end(), std::back_inserter(starting),
               [&](const std::string& n) { return n.starts_with(typed); });
  if (starting.size() == 1) return starting.front();
  return std::nullopt;
}

std::string unknownCommandMessage(std::string_view path, std::string_view typed,
                                  const std::vector<std::string>& names) {
  const std::string lead = path.empty() ? std::string() : std::string(path) + " ";
  // The word is whatever was typed: shown safely, and short.
  std::string message = "Unknown command \"" + lead + displaySafe(typed, 40) + "\".";
  if (auto meant = closestName(typed, names)) return message + " Did you mean \"" + lead + *meant + "\"?";
  return message + " Run `caskel help` to see the commands.";
}

}  // namespace caskel::cli
