#include "app/env_file_scan.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "base/shell_text.h"

namespace caskel {

namespace {

// Entries this deep ("a/b/c/d") are left out with their contents: files are looked for in the
// folder and up to two levels below.
constexpr size_t kTooDeepComponents = 4;

constexpr std::array<std::string_view, 5> kSkippedNames = {".git", "node_modules", ".next", ".nuxt",
                                                           "DerivedData"};
constexpr std::array<std::string_view, 3> kTemplates = {".env.example", ".env.template", ".env.sample"};

size_t componentCount(std::string_view relativePath) {
  return static_cast<size_t>(std::count(relativePath.begin(), relativePath.end(), '/')) + 1;
}

bool contains(auto& list, std::string_view name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

}  // namespace

bool isScannableEntry(const fs::WalkEntry& entry) {
  return componentCount(entry.relativePath) < kTooDeepComponents && !contains(kSkippedNames, entry.name);
}

bool EnvFileScan::visit(const fs::WalkEntry& entry) {
  if (!isScannableEntry(entry)) return false;
  if (entry.kind == fs::WalkEntry::Kind::directory) return true;
  if (entry.kind == fs::WalkEntry::Kind::regular && entry.name.starts_with(".env") &&
      !contains(kTemplates, entry.name)) {
    found_.push_back(entry.relativePath);
  }
  return false;
}

std::vector<std::string> EnvFileScan::run(const std::string& root) {
  EnvFileScan scan;
  fs::walkDirectory(root, [&scan](const fs::WalkEntry& entry) { return scan.visit(entry); });
  return scan.found_;
}

std::string envFilesFoundText(size_t count) {
  return "Found " + std::to_string(count) + " .env file" + (count == 1 ? "" : "s");
}

UserNotice envScanNotice(size_t count) {
  return {envFilesFoundText(count),
          "Run 'caskel scan' in your terminal to import. Command copied to clipboard."};
}

std::string envScanResultText(size_t count) {
  if (count == 0) return "No .env files found";
  return "Found " + std::to_string(count) + " — scan command copied";
}

std::string envScanCommand(const std::string& folder) {
  return "caskel scan " + shellSingleQuote(folder);
}

}  // namespace caskel
