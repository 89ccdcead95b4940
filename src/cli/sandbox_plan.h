#pragma once

#include <optional>
#include <string>
#include <vector>

namespace caskel::cli {

// Everything `caskel sandbox` has found out, as plain data: every path absolute with symbolic
// links resolved, and only paths that exist.
struct SandboxPlan {
  std::string home;
  unsigned uid = 0;
  std::string project;                   // writable
  std::string workingDir;                // where the command starts when it lies in the project
  std::vector<std::string> writable;     // agent state and --allow paths besides the project
  std::vector<std::string> hidden;       // Caskel's own directories: replaced by empty ones
  std::vector<std::string> runtimeDirs;  // $XDG_RUNTIME_DIR, /run/user/<uid>: replaced by empty ones
  std::string socketDir;                 // the server's directory holding this sandbox's socket
  int seccompFd = -1;                    // the filter bwrap loads, or -1
  std::vector<std::string> command;
};

// Whether `path` is `dir` or lies inside it (both normalised absolute paths).
bool isWithin(const std::string& path, const std::string& dir);

// What the sandbox never makes writable, because something outside runs what they say: the
// shell's and session's start-up files, the programs on your PATH in your home, ssh's and git's
// settings. A writable path may not hold one.
std::vector<std::string> startupPaths(const std::string& home);

// Why `path` cannot be writable inside a sandbox, or nothing: it holds the home, a start-up
// file or a Caskel directory, or lies inside a Caskel directory.
std::optional<std::string> writableProblem(const std::string& path, const std::string& home,
                                           const std::vector<std::string>& caskelDirs);

// The agents' own state, under the home: writable in a sandbox so that the agent can work.
std::vector<std::string> agentStatePaths(const std::string& home);

// bwrap's arguments (without the program name), the command last.
std::vector<std::string> bwrapArguments(const SandboxPlan& plan);

}  // namespace caskel::cli
