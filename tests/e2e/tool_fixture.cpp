#include "e2e/tool_fixture.h"

#include <sys/stat.h>

namespace caskel::test {

ToolFixture::ToolFixture(const std::function<void(CaskeldProcess::Options&)>& configure)
    : server(configure) {}

void ToolFixture::SetUp() {
  ASSERT_TRUE(server.start()) << server.output();
  ::mkdir((server.home() + "/run").c_str(), 0700);
}

std::map<std::string, std::string> ToolFixture::toolEnv() const {
  const std::string path = caskelPath();
  return {{"HOME", server.home()},
          {"CASKEL_SOCKET", server.socketPath()},
          {"XDG_RUNTIME_DIR", server.home() + "/run"},
          {"CASKEL", path},
          {"PATH", path.substr(0, path.rfind('/')) + ":/usr/bin:/bin"},
          {"ASAN_OPTIONS", "detect_leaks=0"}};
}

ProcessResult ToolFixture::caskel(const std::vector<std::string>& args, const std::string& input) {
  std::vector<std::string> argv = {caskelPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.input = input;
  options.env = environmentWith(toolEnv(), [](const std::string& name) {
    return name.starts_with("CASKEL_") || name.starts_with("XDG_") || name == "DISPLAY" ||
           name == "WAYLAND_DISPLAY";
  });
  return runProcess(argv, options);
}

ProcessResult ToolFixture::bash(const std::string& script, bool agent) {
  RunOptions options;
  options.env = environmentWith(toolEnv(), [](const std::string& name) {
    return name.starts_with("CASKEL_") || name.starts_with("XDG_") || name.starts_with("BASH_") ||
           name == "DISPLAY" || name == "WAYLAND_DISPLAY";
  });
  return runProcess({agent ? agentShell(io.path()) : "/bin/bash", "-c", script}, options);
}

void ToolFixture::seed(const std::string& account, const std::string& value) {
  ASSERT_EQ(server.request(setRequest(account, value))["ok"], true) << account;
}

}  // namespace caskel::test
