#include "base/dot_env_names.h"

#include <algorithm>
#include <array>

namespace caskel {

namespace {

constexpr std::array<std::string_view, 5> kSkippedFolders = {".git", "node_modules", ".next", ".nuxt",
                                                             "DerivedData"};
constexpr std::array<std::string_view, 3> kTemplates = {".env.example", ".env.template", ".env.sample"};

bool contains(const auto& list, std::string_view name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

}  // namespace

bool isSkippedScanFolder(std::string_view name) {
  return contains(kSkippedFolders, name);
}

bool isDotEnvFileName(std::string_view name) {
  return name.starts_with(".env") && !contains(kTemplates, name);
}

}  // namespace caskel
