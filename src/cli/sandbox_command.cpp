#include "cli/sandbox_command.h"

#include <algorithm>

#include "cli/cli_platform.h"
#include "cli/sandbox_plan.h"
#include "cli/server_client.h"
#include "cli/socket_trust.h"
#include "cli/tty_injection_filter.h"

namespace caskel::cli {

namespace {

std::string lastPiece(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  return line.empty() ? "no reason given" : line;
}

// Caskel's directories as this tool sees them: the server adds its own view once asked.
std::vector<std::string> localCaskelDirs(const std::string& home) {
  const std::string config = envVar("XDG_CONFIG_HOME").value_or(home + "/.config");
  const std::string data = envVar("XDG_DATA_HOME").value_or(home + "/.local/share");
  return {config + "/caskel", data + "/caskel", socketDirectory(ServerClient::defaultSocketPath())};
}

// bwrap runs a trivial sandbox of the same kind, so that a system that forbids one is reported
// as such and not as the command's failure.
std::optional<std::string> probeProblem(const std::string& bwrap) {
  std::string error;
  auto child = startChild(bwrap,
                          {"bwrap", "--unshare-pid", "--ro-bind", "/", "/", "--proc", "/proc", "--dev",
                           "/dev", "--", "/bin/sh", "-c", ":"},
                          environmentWith({}), true, error);
  if (!child) return error;
  std::string said;
  pumpChildOutput(*child, [&](int, std::string_view chunk) {
    if (said.size() < 4096) said.append(chunk);
  });
  if (waitChild(*child) == 0) return std::nullopt;
  return firstLine(said);
}

// The project, the --allow paths and the agents' state, resolved; false (and said) when one is
// missing.
bool gatherPaths(CommandContext& ctx, const SandboxOptions& options, SandboxPlan& plan) {
  plan.home = resolvedPath(homeDir());
  plan.uid = currentUid();
  plan.workingDir = resolvedPath(absolutePath("."));
  plan.project = resolvedPath(absolutePath(options.project.empty() ? "." : options.project));
  int err = 0;
  if (!isDirectoryPath(plan.project, err)) {
    ctx.error("Error: the project " + plan.project + " is not a directory" +
              (err ? ": " + errnoText(err) : "") + ".");
    return false;
  }
  for (const auto& allowed : options.allow) {
    const std::string path = resolvedPath(absolutePath(allowed));
    if (!pathExists(path)) {
      ctx.error("Error: --allow " + allowed + ": no such file or directory.");
      return false;
    }
    plan.writable.push_back(path);
  }
  for (const auto& state : agentStatePaths(plan.home)) {
    if (pathExists(state)) plan.writable.push_back(resolvedPath(state));
  }
  return true;
}

// Checks the writable paths against Caskel's directories (ours and the server's `reply` says),
// then hides those and empties the runtime directories. Why not, when a path may not be writable.
std::optional<std::string> placeCaskelDirs(const nlohmann::json& reply, SandboxPlan& plan) {
  std::vector<std::string> caskelDirs = localCaskelDirs(plan.home);
  if (auto hide = reply.find("hide"); hide != reply.end() && hide->is_array()) {
    for (const auto& h : *hide) {
      if (h.is_string() && h.get<std::string>().starts_with('/')) caskelDirs.push_back(h.get<std::string>());
    }
  }
  for (auto& dir : caskelDirs) dir = resolvedPath(dir);
  std::vector<std::string> writable = plan.writable;
  writable.push_back(plan.project);
  for (const auto& path : writable) {
    if (auto problem = writableProblem(path, plan.home, caskelDirs)) return problem;
  }
  auto addOnce = [](std::vector<std::string>& to, const std::string& dir) {
    if (std::find(to.begin(), to.end(), dir) == to.end()) to.push_back(dir);
  };
  // A directory that holds the home would hide it all.
  for (const auto& dir : caskelDirs) {
    if (pathExists(dir) && !isWithin(plan.home, dir)) addOnce(plan.hidden, dir);
  }
  for (const std::string& runtime :
       {envVar("XDG_RUNTIME_DIR").value_or(""), "/run/user/" + std::to_string(plan.uid)}) {
    int err = 0;
    const std::string dir = resolvedPath(runtime);
    if (runtime.starts_with('/') && isDirectoryPath(dir, err) && !isWithin(plan.home, dir)) {
      addOnce(plan.runtimeDirs, dir);
    }
  }
  return std::nullopt;
}

}  // namespace

int sandboxCommand(CommandContext& ctx, const SandboxOptions& options) {
  if (options.command.empty()) {
    ctx.error("Error: give the command after --, e.g. caskel sandbox -- claude");
    return kExitUsage;
  }
  const auto bwrap = findExecutable("bwrap");
  if (!bwrap) {
    ctx.error(
        "Error: caskel sandbox needs bubblewrap (bwrap), which is not installed — install it with "
        "`sudo apt install bubblewrap`.");
    return kExitFailed;
  }
  SandboxPlan plan;
  plan.command = options.command;
  if (!gatherPaths(ctx, options, plan)) return kExitFailed;

  const ServerClient client(ServerClient::defaultSocketPath());
  int lifeline = -1;
  Exchange ex = client.sendKeepingOpen(
      {{"cmd", "sandbox"}, {"command", lastPiece(options.command.front())}, {"project", plan.project}},
      lifeline);
  if (ex.failure != TransportFailure::kNone) {
    ctx.error(ex.detail);
    return kExitFailed;
  }
  struct Lifeline {
    int fd;
    ~Lifeline() { ServerClient::finishLifeline(fd); }
  } held{lifeline};
  const auto socket = ex.reply.find("socket");
  if (ex.reply.value("ok", false) != true || socket == ex.reply.end() || !socket->is_string()) {
    ctx.error("Error: " + (ex.reply.contains("error") && ex.reply["error"].is_string()
                               ? ex.reply["error"].get<std::string>()
                               : std::string("the server refused the sandbox")));
    return kExitFailed;
  }
  plan.socketDir = socketDirectory(socket->get<std::string>());
  if (auto problem = probeProblem(*bwrap)) {
    ctx.error("Error: bubblewrap cannot make a sandbox here (" + *problem +
              ") — the system may forbid unprivileged user namespaces.");
    return kExitFailed;
  }

  if (auto problem = placeCaskelDirs(ex.reply, plan)) {
    ctx.error("Error: " + *problem);
    return kExitFailed;
  }

  std::string error;
  plan.seccompFd = inheritableMemoryFile(ttyInjectionFilter(), error);
  if (plan.seccompFd < 0) {
    ctx.error("Error: " + error);
    return kExitFailed;
  }
  std::vector<std::string> argv = bwrapArguments(plan);
  argv.insert(argv.begin(), "bwrap");
  auto child = startChild(*bwrap, argv, environmentWith({}), false, error);
  closeFd(plan.seccompFd);
  if (!child) {
    ctx.error("Error: " + error);
    return kExitFailed;
  }
  return waitChild(*child);
}

}  // namespace caskel::cli
