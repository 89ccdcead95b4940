// The self-check's package rows (2 "Package integrity", 3 "Installed from a repository") for
// one installed program, as the screen would show them: make package-check runs it against the
// installed executables. Prints "<label>: passed|failed — <detail>" per row; exits 0 when the
// integrity row passed.
#include <cstdio>
#include <string>

#include "app/security_check.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s EXECUTABLE\n", argv[0]);
    return 2;
  }
  const auto rows = caskel::SecurityCheck::initialRows();
  caskel::ToolRunner runner = [](const std::string& program, const std::vector<std::string>& arguments) {
    caskel::ChildOptions options;
    options.captureOutput = true;
    return caskel::runChild(program, arguments, options);
  };
  bool integrity = false;
  // No server is asked about (rows 0, 1 and 4 skip when none runs; these two never look at it).
  caskel::SecurityCheck(runner, argv[1], false).run([&](size_t row, const caskel::CheckOutcome& outcome) {
    if (row != 2 && row != 3) return;
    if (row == 2) integrity = outcome.passed;
    std::printf("%s: %s — %s\n", rows[row].label.c_str(), outcome.passed ? "passed" : "failed",
                outcome.detail.c_str());
  });
  return integrity ? 0 : 1;
}
