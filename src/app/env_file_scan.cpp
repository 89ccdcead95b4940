#include "app/env_file_scan.h"

#include <algorithm>
#include <string_view>

#include "base/dot_env_names.h"
#include "base/shell_text.h"

namespace caskel {

namespace {

// Entries this deep ("a/b/c/d") are left out with their contents: files are looked for in the
// folder and up to two levels below.
constexpr size_t kTooDeepComponents = 4;

size_t componentCount(std::string_view relativePath) {
  return static_cast<size_t>(std::count(relativePath.begin(), relativePath.end(), '/')) + 1;
}

}  // namespace

bool isScannableEntry(const fs::WalkEntry& entry) {
  return componentCount(entry.relativePath) < kTooDeepComponents && !isSkippedScanFolder(entry.name);
}

bool EnvFileScan::visit(const fs::WalkEntry& entry) {
  if (!isScannableEntry(entry)) return false;
  if (entry.kind == fs::WalkEntry::Kind::directory) return true;
  if (entry.kind == fs::WalkEntry::Kind::regular && isDotEnvFileName(entry.name)) {
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
