#pragma once

#include <optional>
#include <string>

namespace caskel {

// Where the caskel tool is, for onboarding's install step, and how to put it in reach.
struct CliInstall {
  // Where it was found, home shortened to "~" ("~/.local/bin/caskel", "/usr/bin/caskel"), or
  // nothing when neither PATH nor ~/.local/bin has it.
  std::optional<std::string> foundAt;
  // The command that links the tool shipped beside caskel-app into ~/.local/bin; empty when the
  // program's own folder is unknown.
  std::string linkCommand;

  std::string statusText() const;
};

// `onPath`: caskel as found on PATH; `inLocalBin`: whether <home>/.local/bin/caskel is an
// executable; `appDirectory`: the folder caskel-app runs from.
CliInstall cliInstall(const std::optional<std::string>& onPath, bool inLocalBin, const std::string& home,
                      const std::string& appDirectory);

// `path` with the home at its start written "~".
std::string abbreviateHome(const std::string& path, const std::string& home);

}  // namespace caskel
