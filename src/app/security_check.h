#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/child_process.h"

namespace caskel {

// One row of the self-check as the screen shows it.
struct VerifyCheck {
  std::string label;
  bool passed = false;
  std::string detail;
};

struct CheckOutcome {
  bool passed = false;
  std::string detail;
  bool operator==(const CheckOutcome&) const = default;
};

// Runs one of the system's tools and collects its standard output. The program runs the real
// ones (runChild); tests give canned outputs.
using ToolRunner = std::function<ChildResult(const std::string& program, const std::vector<std::string>& arguments)>;

// The self-check: five checks, in a fixed order, each decided by what a system tool printed
// about the running server. Rows 0, 1 and 4 decide the verdict; 2 and 3 inform.
class SecurityCheck {
 public:
  static constexpr size_t kCount = 5;
  static constexpr const char* kNotRunning = "Caskel not running — skipped live check";

  // `executable`: the program the package check asks dpkg about (this program's own path).
  // `appHostsServer`: the server is a caskel-app's, which is looked for before caskeld.
  SecurityCheck(ToolRunner runner, std::string executable, bool appHostsServer = true);

  // The rows before any check ran: labels, not passed, no detail.
  static std::vector<VerifyCheck> initialRows();
  // Rows 0, 1 and 4.
  static bool verdict(const std::vector<VerifyCheck>& rows);

  // Runs the tools one after another, blocking; `publish` gets each row as soon as it is known.
  void run(const std::function<void(size_t row, const CheckOutcome&)>& publish) const;

  // The pass rules, over what the tools printed.
  static std::optional<int> serverPid(const ChildResult& pgrep);
  static CheckOutcome networkDevices(const ChildResult& netDev);
  static CheckOutcome sandbox(const ChildResult& status);
  static CheckOutcome packageIntegrity(const ChildResult& owner, const ChildResult& verify);
  static CheckOutcome repository(const ChildResult& policy);
  static CheckOutcome connections(const ChildResult& sockets);

 private:
  ToolRunner runner_;
  std::string executable_;
  bool appHostsServer_;
};

}  // namespace caskel
