#include "views/secret_list_rules.h"

namespace caskel {

bool isGroupUnlocked(std::string_view groupPrefix, bool serverRunning,
                     const std::vector<std::string>& unlockedPrefixes) {
  if (groupPrefix.empty() || !serverRunning) return false;
  // Any key of the group stands for all of them: probe with a made-up one.
  const std::string probe = std::string(groupPrefix) + "/test";
  for (const std::string& prefix : unlockedPrefixes) {
    if (std::string_view(probe).starts_with(prefix)) return true;
  }
  return false;
}

QString footerText(size_t count) {
  return QString::number(count) + (count == 1 ? QStringLiteral(" item") : QStringLiteral(" items"));
}

std::string rowName(std::string_view account) {
  // The last non-empty component: "a/b/" names b.
  size_t end = account.size();
  while (end > 0 && account[end - 1] == '/') --end;
  if (end == 0) return std::string(account);
  const size_t slash = account.rfind('/', end - 1);
  const size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  return std::string(account.substr(start, end - start));
}

QString groupTitle(std::string_view prefix) {
  if (prefix.empty()) return QStringLiteral("(ungrouped)");
  return QString::fromUtf8(prefix.data(), static_cast<qsizetype>(prefix.size()));
}

EmptyState emptyState(std::string_view searchText) {
  if (!searchText.empty()) return {QStringLiteral("No matches"), false};
  return {QStringLiteral("No credentials stored"), true};
}

}  // namespace caskel
