#include "cli/run_command.h"

#include <algorithm>

#include "base/key_path.h"
#include "base/shell_text.h"
#include "cli/cli_platform.h"
#include "cli/folder_secrets.h"
#include "cli/redaction_filter.h"

namespace caskel::cli {

namespace {

constexpr int kCommandNotFound = 127;

// Multi-line values (recovery codes, certificates) may be printed a line at a time.
void addRedactions(RedactionFilter& filter, const FetchedSecret& s) {
  filter.addValue(s.name, s.value);
  if (s.value.find('\n') == std::string::npos) return;
  size_t start = 0;
  while (start < s.value.size()) {
    size_t end = s.value.find('\n', start);
    if (end == std::string::npos) end = s.value.size();
    std::string line = s.value.substr(start, end - start);
    if (line.ends_with('\r')) line.pop_back();
    if (line.size() >= 6) filter.addValue(s.name, line);
    start = end + 1;
  }
}

}  // namespace

int runCommand(CommandContext& ctx, const RunOptions& options) {
  if (options.command.empty()) {
    ctx.error("Error: give the command after --, e.g. caskel run org/proj -- npm test");
    return kExitUsage;
  }
  auto program = findExecutable(options.command.front());
  if (!program) {
    ctx.error("Error: command not found: " + options.command.front());
    return kCommandNotFound;
  }
  auto accounts = folderAccounts(ctx, options.prefix);
  if (!accounts) return kExitFailed;
  if (!options.only.empty()) {
    std::vector<std::string> chosen;
    for (const auto& want : options.only) {
      auto it = std::find_if(accounts->begin(), accounts->end(), [&](const std::string& a) {
        return a.substr(a.rfind('/') + 1) == want || envVarName(a) == want;
      });
      if (it == accounts->end()) {
        ctx.error("Error: no key " + want + " in " + normalizePrefix(options.prefix));
        return kExitFailed;
      }
      if (std::find(chosen.begin(), chosen.end(), *it) == chosen.end()) chosen.push_back(*it);
    }
    *accounts = std::move(chosen);
  }
  auto fetched = fetchValues(ctx, *accounts, true);
  if (!fetched) return kExitFailed;

  std::vector<std::string> overrides;
  for (const auto& s : fetched->secrets) overrides.push_back(s.name + "=" + s.value);
  std::vector<std::string> environment = environmentWith(overrides);
  for (auto& o : overrides) wipe(o);

  const bool filterOutput = fetched->servedToAgent;
  std::string error;
  auto child = startChild(*program, options.command, environment, filterOutput, error);
  for (auto& e : environment) wipe(e);
  if (!child) {
    ctx.error("Error: " + error);
    return kExitFailed;
  }
  if (filterOutput) {
    RedactionFilter outFilter, errFilter;
    for (const auto& s : fetched->secrets) {
      addRedactions(outFilter, s);
      addRedactions(errFilter, s);
    }
    pumpChildOutput(*child, [&](int stream, std::string_view chunk) {
      if (stream == 1) {
        ctx.out(outFilter.push(chunk));
      } else {
        ctx.io().err(errFilter.push(chunk));
      }
    });
    ctx.out(outFilter.finish());
    ctx.io().err(errFilter.finish());
  }
  return waitChild(*child);
}

}  // namespace caskel::cli
