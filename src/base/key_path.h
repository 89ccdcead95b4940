#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace caskel {

// Key paths ("accounts") look like org/project/KEY. These helpers hold the derivations that
// several parts of the system share, so each rule is written once.

// True for 1 to 512 characters, each an ASCII letter, digit, "/", "_", ".", space or "-".
bool isValidKeyPath(std::string_view text);

// A key that names one item: valid as above, at least two "/"-separated parts, none of them
// empty, "." or "..", so no leading, trailing or doubled "/". Folder-like paths (org/proj/) and
// bare names would break the folder and variable-name derivations below.
bool isFullKeyPath(std::string_view text);

// The refusal for a key that is not full, naming it (its alphabet is already checked, so it
// is safe to show).
std::string notFullKeyText(std::string_view account);

// The "/"-separated components with empty ones dropped ("/a//b/K" gives a, b, K).
std::vector<std::string> keyPathComponents(std::string_view account);

// The key name: the last component, or the whole text when there is none.
std::string keyName(std::string_view account);

// The folder for grouping and listings: all components but the last joined with "/"
// (acme/web/API_KEY gives acme/web); empty when there are fewer than two components.
std::string folderOf(std::string_view account);

// The session prefix of a key: the text up to and including its last "/", or the key
// followed by "/" when it has none (org/proj/KEY gives org/proj/).
std::string sessionPrefixOf(std::string_view account);

// The folder of a key with a trailing "/" (acme/web/), or the key itself when it has fewer
// than two components; the grouping that the session status uses.
std::string folderPrefixOrKey(std::string_view account);

// A prefix with a trailing "/" appended unless it already ends with one.
std::string normalizePrefix(std::string_view prefix);

// True when `text` starts with `prefix` (plain text test).
inline bool hasTextPrefix(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace caskel
