#include "base/path_lookup.h"

namespace caskel {

std::optional<std::string> findOnPath(std::string_view name, std::string_view searchPath,
                                      bool (*isExecutable)(const std::string& path)) {
  if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
  while (!searchPath.empty()) {
    const auto colon = searchPath.find(':');
    const std::string_view dir = searchPath.substr(0, colon);
    searchPath = colon == std::string_view::npos ? std::string_view{} : searchPath.substr(colon + 1);
    if (dir.empty() || dir.front() != '/') continue;
    std::string candidate(dir);
    candidate += '/';
    candidate += name;
    if (isExecutable(candidate)) return candidate;
  }
  return std::nullopt;
}

}  // namespace caskel
