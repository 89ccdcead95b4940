#pragma once

#include <QString>
#include <string>
#include <string_view>
#include <vector>

namespace caskel {

// A group's lock is shown open when a running server holds a session whose prefix leads the
// group's own (a session on acme/ covers the groups acme and acme/api). The ungrouped keys
// have no folder to unlock.
bool isGroupUnlocked(std::string_view groupPrefix, bool serverRunning,
                     const std::vector<std::string>& unlockedPrefixes);

// "1 item", "0 items", "12 items".
QString footerText(size_t count);

// The last path component, as a row shows it (the whole key when it has none).
std::string rowName(std::string_view account);
// The header of a group: its prefix, or "(ungrouped)".
QString groupTitle(std::string_view prefix);

// What the body shows when no secret passes the filter.
struct EmptyState {
  QString text;
  bool offerAdd = false;
};
EmptyState emptyState(std::string_view searchText);

}  // namespace caskel
