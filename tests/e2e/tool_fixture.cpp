#include "e2e/tool_fixture.h"

#include <sys/stat.h>

namespace caskel::test {

void ToolFixture::SetUp() {
  E2eTest::SetUp();
  ::mkdir(runtimeDir.c_str(), 0700);
}

std::vector<std::string> ToolFixture::toolEnv(const Env& extra) const {
  const std::string path = caskelPath();
  Env env = {{"HOME", server.home()},
             {"CASKEL_SOCKET", server.socketPath()},
             {"XDG_RUNTIME_DIR", runtimeDir},
             {"CASKEL", path},
             {"PATH", path.substr(0, path.rfind('/')) + ":/usr/bin:/bin"},
             {"ASAN_OPTIONS", "detect_leaks=0"}};
  for (const auto& [k, v] : extra) env[k] = v;
  return environmentWith(env, [](const std::string& name) {
    return name.starts_with("CASKEL_") || name.starts_with("XDG_") || name.starts_with("BASH_") ||
           name == "DISPLAY" || name == "WAYLAND_DISPLAY";
  });
}

ProcessResult ToolFixture::caskel(const std::vector<std::string>& args, const std::string& input,
                                  const Env& env, std::vector<std::string> launcher) {
  launcher.push_back(caskelPath());
  launcher.insert(launcher.end(), args.begin(), args.end());
  return runProcess(launcher, {input, toolEnv(env), {}});
}

ProcessResult ToolFixture::bash(const std::string& script, const std::vector<std::string>& args, bool agent,
                                const Env& env) {
  std::vector<std::string> argv = {agent ? agentShell(tools.path()) : "/bin/bash", "-c", script, "bash"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, {"", toolEnv(env), {}});
}

}  // namespace caskel::test
