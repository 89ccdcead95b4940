#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "e2e/caskeld_process.h"

namespace caskel::test {

// The real caskel tool against a real caskeld in a temporary HOME, run by a person's shell
// or by an agent's.
class ToolFixture : public ::testing::Test {
 protected:
  explicit ToolFixture(const std::function<void(CaskeldProcess::Options&)>& configure = {});
  void SetUp() override;

  static std::string caskelPath() { return buildPath("src/caskel"); }
  // The tool's environment: this server, the temporary HOME, the build's caskel on PATH.
  std::map<std::string, std::string> toolEnv() const;
  ProcessResult caskel(const std::vector<std::string>& args, const std::string& input = "");
  // `script` run by bash (an agent's, with `agent`), "$CASKEL" naming the tool.
  ProcessResult bash(const std::string& script, bool agent = false);
  void seed(const std::string& account, const std::string& value);

  TempDir io;
  CaskeldProcess server;
};

}  // namespace caskel::test
