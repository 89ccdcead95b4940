#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/path_lookup.h"

namespace caskel {

struct ChildOptions {
  // Text written to the child's standard input, which is then closed (the null device when absent).
  std::optional<std::string_view> input;
  // Collect standard output; otherwise it goes to the null device. Standard error always does.
  bool captureOutput = false;
  // Output beyond this many bytes is discarded (the child is not stopped for it).
  size_t maxOutput = 16 * 1024 * 1024;
  // Variables set (or replaced) in the child's environment on top of this process's own.
  std::map<std::string, std::string> environment;
  // The child is killed when it has not exited by then.
  std::chrono::milliseconds timeLimit{5000};
};

struct ChildResult {
  bool launched = false;
  bool timedOut = false;
  int exitStatus = -1;  // the exit code; -1 when it did not exit normally
  std::string output;

  bool succeeded() const { return launched && !timedOut && exitStatus == 0; }
};

// Runs a program (looked up on PATH when it has no "/") with the given arguments, without a
// shell, and waits for it. Only the direct child is awaited: a program that leaves a helper
// behind holding its output (as clipboard tools do) does not hold the caller up. SIGPIPE from
// a child that stops reading is absorbed. Safe to call from any thread.
ChildResult runChild(const std::string& program, const std::vector<std::string>& arguments,
                     const ChildOptions& options = {});

// findOnPath (base/path_lookup.h) accepting regular executable files.
std::optional<std::string> findOnPath(std::string_view name, std::string_view searchPath);

// `name` itself when it holds a "/" and is a regular executable file; otherwise findOnPath
// over $PATH (a standard list when PATH is unset or empty).
std::optional<std::string> findExecutable(const std::string& name);

}  // namespace caskel
