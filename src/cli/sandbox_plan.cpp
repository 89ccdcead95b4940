#include "cli/sandbox_plan.h"

#include <algorithm>

#include "base/protocol.h"

namespace caskel::cli {

bool isWithin(const std::string& path, const std::string& dir) {
  if (dir == "/") return !path.empty() && path.front() == '/';
  return path == dir || (path.size() > dir.size() && path.starts_with(dir) && path[dir.size()] == '/');
}

std::vector<std::string> startupPaths(const std::string& home) {
  std::vector<std::string> paths;
  for (const char* name :
       {".profile",          ".bashrc",         ".bash_profile", ".bash_login",  ".bash_logout",
        ".zshenv",           ".zprofile",       ".zshrc",        ".zlogin",      ".zlogout",
        ".pam_environment",  ".xprofile",       ".xsessionrc",   ".config/fish", ".config/environment.d",
        ".config/autostart", ".config/systemd", ".local/bin",    ".ssh",         ".gitconfig",
        ".config/git"}) {
    paths.push_back(home + "/" + name);
  }
  return paths;
}

std::optional<std::string> writableProblem(const std::string& path, const std::string& home,
                                           const std::vector<std::string>& caskelDirs) {
  const std::string head = "the sandbox cannot make " + path + " writable: ";
  if (isWithin(home, path)) return head + "it holds your home directory.";
  for (const auto& p : startupPaths(home)) {
    if (isWithin(p, path)) return head + "it holds " + p + ", which runs outside the sandbox.";
  }
  for (const auto& dir : caskelDirs) {
    if (isWithin(dir, path)) return head + "it holds Caskel's " + dir + ".";
    if (isWithin(path, dir)) return head + "it lies in Caskel's " + dir + ".";
  }
  return std::nullopt;
}

std::vector<std::string> agentStatePaths(const std::string& home) {
  // ~/.claude.json is where Claude Code keeps its settings beside its directory.
  return {home + "/.claude", home + "/.claude.json", home + "/.codex", home + "/.cursor",
          home + "/.windsurf"};
}

std::vector<std::string> bwrapArguments(const SandboxPlan& plan) {
  std::vector<std::string> args;
  auto add = [&](std::initializer_list<std::string> more) { args.insert(args.end(), more); };
  // Its own processes only, and nothing left running once the tool is gone.
  add({"--die-with-parent", "--unshare-pid", "--unshare-ipc", "--unshare-cgroup-try", "--cap-drop", "ALL"});
  add({"--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp"});
  // A home kept in /tmp stays visible, read-only like any other.
  if (isWithin(plan.home, "/tmp")) add({"--ro-bind", plan.home, plan.home});
  // The session bus (and through it the user's service manager, which starts anything outside),
  // agents' sockets and Caskel's unsourced scripts live here.
  for (const auto& r : plan.runtimeDirs) add({"--tmpfs", r});
  std::vector<std::string> writable = {plan.project};
  for (const auto& w : plan.writable) {
    if (std::find(writable.begin(), writable.end(), w) == writable.end()) writable.push_back(w);
  }
  for (const auto& w : writable) add({"--bind", w, w});
  // Last, so that no writable path shows them again.
  for (const auto& h : plan.hidden) add({"--tmpfs", h});
  add({"--ro-bind", plan.socketDir, protocol::socketDirectory(plan.uid), "--unsetenv",
       protocol::kSocketVariable});
  add({"--chdir", isWithin(plan.workingDir, plan.project) ? plan.workingDir : plan.project});
  if (plan.seccompFd >= 0) add({"--seccomp", std::to_string(plan.seccompFd)});
  args.push_back("--");
  args.insert(args.end(), plan.command.begin(), plan.command.end());
  return args;
}

}  // namespace caskel::cli
