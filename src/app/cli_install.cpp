#include "app/cli_install.h"

#include "base/shell_text.h"

namespace caskel {

std::string abbreviateHome(const std::string& path, const std::string& home) {
  if (home.empty() || home == "/" || !path.starts_with(home)) return path;
  if (path.size() == home.size()) return "~";
  if (path[home.size()] != '/') return path;  // /home/alice2 is not under /home/alice
  return "~" + path.substr(home.size());
}

std::string CliInstall::statusText() const {
  if (foundAt) return "CLI installed at " + *foundAt;
  return "CLI not found on PATH or at ~/.local/bin/caskel";
}

CliInstall cliInstall(const std::optional<std::string>& onPath, bool inLocalBin, const std::string& home,
                      const std::string& appDirectory) {
  CliInstall out;
  if (onPath) {
    out.foundAt = abbreviateHome(*onPath, home);
  } else if (inLocalBin) {
    out.foundAt = "~/.local/bin/caskel";
  }
  if (!appDirectory.empty()) {
    // ~ stays outside the quotes so the shell expands it; the program's folder is quoted whole.
    out.linkCommand = "mkdir -p ~/.local/bin && ln -sf " + shellSingleQuote(appDirectory + "/caskel") +
                      " ~/.local/bin/caskel";
  }
  return out;
}

}  // namespace caskel
