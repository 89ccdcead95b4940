#include "cli/scan_command.h"

#include <algorithm>

#include "base/display_text.h"
#include "base/dot_env_names.h"
#include "base/key_path.h"
#include "cli/cli_platform.h"
#include "cli/dot_env.h"
#include "cli/folder_commands.h"

namespace caskel::cli {

namespace {

constexpr int kMaxDepth = 2;  // folders below the root that are still searched

void walk(const std::string& dir, int depth, std::vector<std::string>& found) {
  for (const auto& e : listDirectory(dir)) {
    const std::string path = dir + "/" + e.name;
    if (e.isDirectory) {
      if (depth < kMaxDepth && !isSkippedScanFolder(e.name)) walk(path, depth + 1, found);
    } else if (e.isRegular && isDotEnvFileName(e.name)) {
      found.push_back(path);
    }
  }
}

}  // namespace

std::vector<std::string> findDotEnvFiles(const std::string& root) {
  std::vector<std::string> found;
  std::string start = root;
  while (start.size() > 1 && start.ends_with('/')) start.pop_back();
  walk(start, 0, found);
  std::sort(found.begin(), found.end());
  return found;
}

int scanCommand(CommandContext& ctx, const std::string& root) {
  const std::string start = root.empty() ? "." : root;
  // An empty result must mean "searched and found none", not "could not search".
  int err = 0;
  if (!isDirectoryPath(start, err)) {
    ctx.error("Error: cannot scan " + displaySafe(start, kMaxShownPath) + ": " +
              (err != 0 ? errnoText(err) : std::string("not a directory")) + ".");
    return kExitFailed;
  }
  auto files = findDotEnvFiles(start);
  if (files.empty()) {
    ctx.out("No .env files found.\n");
    return kExitOk;
  }
  std::string text =
      "Found " + std::to_string(files.size()) + (files.size() == 1 ? " .env file:\n" : " .env files:\n");
  std::vector<DotEnvFile> parsed;
  for (const auto& f : files) {
    std::string error;
    auto content = readFile(f, 4 * 1024 * 1024, error);
    DotEnvFile file = content ? parseDotEnv(*content) : DotEnvFile{};
    if (content) wipe(*content);
    const auto keys = distinctKeys(file);
    text += "  " + displaySafe(f, kMaxShownPath) + "  (" + std::to_string(keys.size()) +
            (keys.size() == 1 ? " key" : " keys");
    for (size_t i = 0; i < keys.size() && i < 6; ++i) text += (i == 0 ? ": " : ", ") + keys[i];
    if (keys.size() > 6) text += ", …";
    text += ")\n";
    parsed.push_back(std::move(file));
  }
  ctx.out(text);
  if (!ctx.io().inIsTerminal) {
    ctx.out("Run `caskel scan` in a terminal to import them, or `caskel import <org/proj> <file>`.\n");
    for (auto& p : parsed) {
      for (auto& e : p.entries) wipe(e.value);
    }
    return kExitOk;
  }
  int rc = kExitOk;
  for (size_t i = 0; i < files.size(); ++i) {
    if (parsed[i].entries.empty()) continue;
    auto prefix = ctx.ask("\nImport " + displaySafe(files[i], kMaxShownPath) +
                          " into which prefix? (e.g. org/project; empty to skip) ");
    if (!prefix || prefix->empty()) continue;
    if (!isValidKeyPath(*prefix)) {
      ctx.error("Error: invalid prefix — use only letters, numbers, /, _, ., - (skipped).");
      continue;
    }
    std::string folder = *prefix;
    while (folder.ends_with('/')) folder.pop_back();
    const size_t count = distinctKeys(parsed[i]).size();
    if (!ctx.confirm("Store " + std::to_string(count) + (count == 1 ? " key" : " keys") + " under " + folder +
                     "/?"))
      continue;
    if (importEntries(ctx, folder, parsed[i].entries, files[i]) != kExitOk) rc = kExitFailed;
  }
  for (auto& p : parsed) {
    for (auto& e : p.entries) wipe(e.value);
  }
  return rc;
}

}  // namespace caskel::cli
