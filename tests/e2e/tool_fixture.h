#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "e2e/caskeld_process.h"

namespace caskel::test {

using Env = std::map<std::string, std::string>;

// The real caskel tool against a real caskeld in a temporary HOME, run by a person's shell
// or by an agent's.
class ToolFixture : public E2eTest {
 protected:
  using E2eTest::E2eTest;
  void SetUp() override;

  static std::string caskelPath() { return buildPath("src/caskel"); }
  // The tool's environment: this server, the temporary HOME, the build's caskel on PATH; `extra`
  // added or overriding.
  std::vector<std::string> toolEnv(const Env& extra = {}) const;
  // The tool, run under `launcher` (such as unprivilegedLauncher()) when one is given.
  ProcessResult caskel(const std::vector<std::string>& args, const std::string& input = "",
                       const Env& env = {}, std::vector<std::string> launcher = {});
  // `script` run by bash (an agent's, with `agent`), "$CASKEL" naming the tool and `args` as "$1"...
  ProcessResult bash(const std::string& script, const std::vector<std::string>& args = {}, bool agent = false,
                     const Env& env = {});
  // The tool started by the agent's shell (not as the script's last command, which bash would
  // exec in the shell's place).
  ProcessResult agentCaskel(const std::vector<std::string>& args, const Env& env = {}) {
    return bash("\"$CASKEL\" \"$@\"; rc=$?; exit $rc", args, true, env);
  }
  // Stored by this process, which then needs no prompt for the next within the reuse window.
  void put(const std::string& account, const std::string& value, const json& extra = json::object()) {
    ASSERT_EQ(call(setRequest(account, value, extra))["ok"], true) << account;
  }

  const std::string runtimeDir = server.home() + "/run";
};

}  // namespace caskel::test
