#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace caskel::test {

struct ProcessResult {
  int code = -1;  // -1 when killed by a signal or it never finished
  std::string out, err;
};

struct RunOptions {
  std::string input;                            // standard input
  std::optional<std::vector<std::string>> env;  // exactly this environment; else this process's
  std::function<void()> inChild;                // runs in the child just before exec
};

// This process's environment ("NAME=value") without the names `drop` picks, with `overrides`.
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides,
                                         const std::function<bool(const std::string&)>& drop = {});

// Runs `argv` (a program name is looked up in PATH) to its end, bounded by a minute, and
// returns its exit status and what it printed. Output goes through files, so a helper the
// program leaves behind cannot hold the call up.
ProcessResult runProcess(const std::vector<std::string>& argv, const RunOptions& options = {});

// `from` copied to dir/relative (directories created) and made executable; copied only once.
std::string copyProgram(const std::string& dir, const std::string& from, const std::string& relative);
// A shell installed under a folder named "claude", as an agent's would be.
inline std::string agentShell(const std::string& dir) {
  return copyProgram(dir, "/bin/bash", "claude/bash");
}
// A prefix that runs a program as root without capabilities, which stands for an ordinary
// user (as root, capabilities would decide instead); empty when not root.
std::vector<std::string> unprivilegedLauncher();

// A connection to the socket at `path`, or -1.
int connectTo(const std::string& path);
// Everything the descriptor yields until end of stream.
std::string readToEnd(int fd);

}  // namespace caskel::test
