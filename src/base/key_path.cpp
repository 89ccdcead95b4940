#include "base/key_path.h"

#include <utility>

namespace caskel {

bool isValidKeyPath(std::string_view text) {
  if (text.empty() || text.size() > 512) return false;
  for (char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                    c == '_' || c == '.' || c == ' ' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool isFullKeyPath(std::string_view text) {
  if (!isValidKeyPath(text)) return false;
  size_t parts = 0;
  size_t start = 0;
  while (true) {
    const size_t slash = text.find('/', start);
    const std::string_view part =
        text.substr(start, slash == std::string_view::npos ? text.npos : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    ++parts;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return parts >= 2;
}

std::string notFullKeyText(std::string_view account) {
  return "Invalid key path \"" + std::string(account) + "\" — specify the full key (e.g. org/proj/KEY)";
}

std::vector<std::string> keyPathComponents(std::string_view account) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= account.size()) {
    size_t slash = account.find('/', start);
    if (slash == std::string_view::npos) slash = account.size();
    if (slash > start) parts.emplace_back(account.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

std::string keyName(std::string_view account) {
  auto parts = keyPathComponents(account);
  return parts.empty() ? std::string(account) : std::move(parts.back());
}

std::string folderOf(std::string_view account) {
  const auto parts = keyPathComponents(account);
  std::string folder;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    if (i > 0) folder += '/';
    folder += parts[i];
  }
  return folder;
}

std::string sessionPrefixOf(std::string_view account) {
  const size_t slash = account.rfind('/');
  if (slash == std::string_view::npos) return std::string(account) + "/";
  return std::string(account.substr(0, slash + 1));
}

std::string folderPrefixOrKey(std::string_view account) {
  const std::string folder = folderOf(account);
  return folder.empty() ? std::string(account) : folder + "/";
}

std::string normalizePrefix(std::string_view prefix) {
  std::string out(prefix);
  if (out.empty() || out.back() != '/') out += '/';
  return out;
}

}  // namespace caskel
