#include "cli/setup_commands.h"

#include <vector>

#include "base/verification_commands.h"
#include "cli/agent_payload.h"
#include "cli/cli_platform.h"
#include "cli/server_client.h"
#include "cli/socket_trust.h"

namespace caskel::cli {

namespace {

constexpr size_t kMaxSettingsBytes = 4 * 1024 * 1024;
constexpr const char* kPlainGuardCommand = "caskel guard";
// The other agents the server recognises. Their hook mechanisms differ from Claude Code's event
// protocol and the guard does not speak them, so nothing is written into their settings.
constexpr const char* kOtherAgentsNote =
    "Codex, Cursor and Windsurf: no hook installed — `caskel guard --hook` speaks only Claude Code's hook "
    "protocol. Pipe a command's output through `caskel guard` to check it by hand.\n";

// Whether a guard hook in hook mode is among the entries. An entry running the plain pipe
// mode (what setup wrote before the guard spoke the hook protocol) is switched over in place:
// in that mode the agent never hears of a leak.
bool findOrUpgradeGuardHook(nlohmann::json& entries) {
  bool found = false;
  for (auto& entry : entries) {
    if (!entry.is_object()) continue;
    auto hooks = entry.find("hooks");
    if (hooks == entry.end() || !hooks->is_array()) continue;
    for (auto& h : *hooks) {
      if (!h.is_object()) continue;
      auto command = h.find("command");
      if (command == h.end() || !command->is_string()) continue;
      const std::string& text = command->get_ref<const std::string&>();
      if (text == kPlainGuardCommand) *command = kGuardHookCommand;
      if (command->get_ref<const std::string&>().find(kGuardHookCommand) != std::string::npos) found = true;
    }
  }
  return found;
}

std::string parentOf(const std::string& path) {
  return path.substr(0, path.rfind('/'));
}

constexpr size_t kMaxRcBytes = 4 * 1024 * 1024;

// The agents `caskel sandbox` knows how to start, found by the state folder each keeps in the home.
struct SandboxableAgent {
  const char* folder;
  const char* command;
};
constexpr SandboxableAgent kSandboxableAgents[] = {
    {".claude", "claude"}, {".codex", "codex"}, {".cursor", "cursor-agent"}, {".windsurf", "windsurf"}};

std::string aliasMarker(std::string_view agent) {
  return "# >>> caskel sandbox: " + std::string(agent) + " >>>";
}

bool addAlias(CommandContext& ctx, const std::optional<std::string>& rcFile, const std::string& agent) {
  if (!rcFile) {
    ctx.out("Add this line to your shell's start-up file: " + sandboxAliasLine(agent) + "\n");
    return true;
  }
  // A linked rc file (dotfiles kept in a repository) is updated where the link points.
  const std::string path = resolvedPath(*rcFile);
  std::string text, error;
  if (pathExists(path)) {
    auto read = readFile(path, kMaxRcBytes, error);
    if (!read) {
      ctx.error("Error: " + error + "; left unchanged.");
      return false;
    }
    text = std::move(*read);
  }
  auto updated = withSandboxAlias(text, agent);
  if (!updated) {
    ctx.out("The alias for " + agent + " is already in " + *rcFile + "\n");
    return true;
  }
  if (!makeDirs(parentOf(path), 0700) ||
      !writeFileAtomic(path, *updated, fileMode(path).value_or(0600), error)) {
    ctx.error("Error: " + (error.empty() ? "cannot create " + parentOf(path) : error));
    return false;
  }
  ctx.out("Added the alias " + agent + " to " + *rcFile + "; new shells start " + agent + " sandboxed.\n");
  return true;
}

bool addWrapper(CommandContext& ctx, const std::string& home, const std::string& agent) {
  const std::string dir = home + "/.local/bin", path = dir + "/" + agent + "-sandboxed";
  const std::string script = sandboxWrapperScript(agent);
  std::string error;
  if (pathExists(path)) {
    // Someone else's program of that name is not ours to replace.
    auto text = readFile(path, script.size() + 1, error);
    if (text && *text == script) {
      ctx.out(path + " is already there.\n");
      return true;
    }
    ctx.error("Error: " + path + " exists and is not the script caskel setup writes; left unchanged.");
    return false;
  }
  if (!makeDirs(dir, 0700) || !writeFileAtomic(path, script, 0700, error)) {
    ctx.error("Error: " + (error.empty() ? "cannot create " + dir : error));
    return false;
  }
  ctx.out("Wrote " + path + ": " + agent + "-sandboxed starts " + agent + " sandboxed.\n");
  return true;
}

// Prints the sandboxed start of each agent found and, on a terminal, offers to make it the
// habit; false when a chosen file could not be written.
bool offerSandboxedStarts(CommandContext& ctx, bool assumeYes) {
  const std::string home = homeDir();
  std::vector<std::string> agents;
  for (const auto& agent : kSandboxableAgents) {
    int err = 0;
    if (isDirectoryPath(home + "/" + agent.folder, err)) agents.emplace_back(agent.command);
  }
  if (agents.empty()) return true;
  std::string text =
      "\nTo start an agent in Caskel's sandbox (it may write only its project and its own settings, "
      "and Caskel's files are hidden from it):\n";
  for (const auto& agent : agents) text += "  caskel sandbox -- " + agent + "\n";
  ctx.out(text);
  if (assumeYes || !ctx.io().inIsTerminal) {
    ctx.out("Run `caskel setup` in a terminal, without --yes, to add a shell alias or a wrapper script.\n");
    return true;
  }
  const auto rcFile = shellRcFile(envVar("SHELL").value_or(""), home, envVar("ZDOTDIR"));
  const std::string aliasPlace = rcFile ? "in " + *rcFile : "(a line to add to your shell's start-up file)";
  bool ok = true;
  for (const auto& agent : agents) {
    auto answer = ctx.ask("\nStart " + agent + " sandboxed: a = alias " + agent + " " + aliasPlace +
                          ", w = wrapper script ~/.local/bin/" + agent + "-sandboxed, n = neither [a/w/N] ");
    if (answer == "a" || answer == "A") {
      ok = addAlias(ctx, rcFile, agent) && ok;
    } else if (answer == "w" || answer == "W") {
      ok = addWrapper(ctx, home, agent) && ok;
    }
  }
  return ok;
}

}  // namespace

int verifyCommand(CommandContext& ctx) {
  const std::string socketPath = ServerClient::defaultSocketPath();
  // The server's number, from the kernel's record of who listens on our socket; when none
  // answers, a lookup the reader's shell runs.
  std::string pid = verification::kServerPidLookup;
  std::string whose = "no server answered, so each command finds it by name";
  Connection connection = connectToOwnServer(socketPath, SocketSystem::real());
  if (connection.failure == TransportFailure::kNone) {
    if (auto number = peerPid(connection.fd)) {
      pid = std::to_string(*number);
      whose = "the server listening on " + socketPath + " is process " + pid;
    }
    closeFd(connection.fd);
  }

  std::string text =
      "Caskel security verification — run these with the Linux system tools, not Caskel's own code.\n"
      "(" + whose + ")\n";
  const auto checks = verification::checks();
  for (size_t i = 0; i < checks.size(); ++i) {
    text += "\n" + std::to_string(i + 1) + ". " + checks[i].label + ":\n     " +
            verification::commandLine(checks[i].arguments, pid) + "\n";
    if (i == 2) {
      // This tool comes in the same package as the server.
      const std::string program = ownExecutable().value_or("/usr/bin/caskel");
      text += "     " + verification::commandLine({"dpkg", "-S", program}, pid) + "\n";
    }
    text += "   Expect: " + std::string(checks[i].expect) + ".\n";
  }
  text +=
      "\nChecks 1, 2 and 5 decide: anything else there, stop and use no caskel command until it is resolved. "
      "\"No such file or directory\" means no server is running: start it (`caskeld` or the Caskel app) and "
      "check again.\n";
  ctx.out(text);
  return kExitOk;
}

int updateCommand(CommandContext& ctx) {
  auto reply = ctx.call({{"cmd", "get-cli"}});
  if (!reply) return kExitFailed;
  auto value = reply->find("value");
  if (value == reply->end() || !value->is_string()) {
    ctx.error("Error: the server sent no program.");
    return kExitFailed;
  }
  std::string program = value->get<std::string>();
  auto encoding = reply->find("encoding");
  if (encoding != reply->end() && encoding->is_string() && *encoding == "base64") {
    auto decoded = base64Decode(program);
    if (!decoded) {
      ctx.error("Error: the server sent a program that is not valid base64.");
      return kExitFailed;
    }
    program = std::move(*decoded);
  }
  // Refuse to install something that is neither a program nor a script.
  if (!program.starts_with("\x7f"
                           "ELF") &&
      !program.starts_with("#!")) {
    ctx.error("Error: the server sent something that is not a program; nothing installed.");
    return kExitFailed;
  }
  const std::string dir = homeDir() + "/.local/bin";
  if (!makeDirs(dir, 0700)) {
    ctx.error("Error: cannot create " + dir);
    return kExitFailed;
  }
  std::string error;
  if (!writeFileAtomic(dir + "/caskel", program, 0755, error)) {
    ctx.error("Error: " + error);
    return kExitFailed;
  }
  ctx.out("Installed caskel at " + dir + "/caskel (" + std::to_string(program.size()) + " bytes).\n");
  return kExitOk;
}

std::optional<nlohmann::json> withGuardHook(const nlohmann::json& settings, bool& present,
                                            std::string& error) {
  present = false;
  nlohmann::json out = settings.is_null() ? nlohmann::json::object() : settings;
  if (!out.is_object()) {
    error = "the settings file does not hold a JSON object";
    return std::nullopt;
  }
  nlohmann::json& hooks = out["hooks"];
  if (hooks.is_null()) hooks = nlohmann::json::object();
  if (!hooks.is_object()) {
    error = "\"hooks\" in the settings file is not an object";
    return std::nullopt;
  }
  nlohmann::json& post = hooks["PostToolUse"];
  if (post.is_null()) post = nlohmann::json::array();
  if (!post.is_array()) {
    error = "\"hooks.PostToolUse\" in the settings file is not a list";
    return std::nullopt;
  }
  const nlohmann::json before = post;
  if (findOrUpgradeGuardHook(post)) {
    present = post == before;
    return present ? settings : out;
  }
  post.push_back({{"matcher", "*"},
                  {"hooks", nlohmann::json::array({{{"type", "command"}, {"command", kGuardHookCommand}}})}});
  return out;
}

std::optional<std::string> shellRcFile(std::string_view shell, const std::string& home,
                                       const std::optional<std::string>& zdotdir) {
  const std::string_view name = shell.substr(shell.rfind('/') + 1);
  if (name == "bash") return home + "/.bashrc";
  if (name == "zsh") return zdotdir.value_or(home) + "/.zshrc";
  return std::nullopt;
}

std::string sandboxAliasLine(std::string_view agent) {
  return "alias " + std::string(agent) + "='caskel sandbox -- " + std::string(agent) + "'";
}

std::optional<std::string> withSandboxAlias(std::string_view rcText, std::string_view agent) {
  const std::string marker = aliasMarker(agent);
  for (size_t start = 0; start < rcText.size();) {
    size_t end = rcText.find('\n', start);
    if (end == std::string_view::npos) end = rcText.size();
    if (rcText.substr(start, end - start) == marker) return std::nullopt;
    start = end + 1;
  }
  std::string out(rcText);
  if (!out.empty() && out.back() != '\n') out += '\n';
  out += marker + "\n" + sandboxAliasLine(agent) + "\n# <<< caskel sandbox: " + std::string(agent) + " <<<\n";
  return out;
}

std::string sandboxWrapperScript(std::string_view agent) {
  return "#!/bin/sh\n# Written by caskel setup: starts " + std::string(agent) +
         " in Caskel's sandbox.\nexec caskel sandbox -- " + std::string(agent) + " \"$@\"\n";
}

namespace {

int installGuardHook(CommandContext& ctx, bool assumeYes) {
  const std::string shownPath = homeDir() + "/.claude/settings.json";
  const std::string path = resolvedPath(shownPath);
  if (!assumeYes && !ctx.confirm("\nInstall `" + std::string(kGuardHookCommand) +
                                 "` as a Claude Code PostToolUse hook in " + shownPath +
                                 " (it warns when a tool's output holds a stored secret)?")) {
    ctx.error("No hook installed. Run `caskel setup --yes` to install it later.");
    return kExitOk;
  }
  nlohmann::json settings;
  std::optional<unsigned> mode = fileMode(path);
  if (pathExists(path)) {
    std::string error;
    auto text = readFile(path, kMaxSettingsBytes, error);
    if (!text) {
      ctx.error("Error: " + error);
      return kExitFailed;
    }
    settings = nlohmann::json::parse(*text, nullptr, false);
    if (settings.is_discarded()) {
      ctx.error("Error: " + path + " is not valid JSON; left unchanged.");
      return kExitFailed;
    }
  }
  bool present = false;
  std::string error;
  auto updated = withGuardHook(settings, present, error);
  if (!updated) {
    ctx.error("Error: " + error + "; " + path + " left unchanged.");
    return kExitFailed;
  }
  if (present) {
    ctx.out("The caskel guard hook is already installed in " + path + "\n");
    ctx.out(kOtherAgentsNote);
    return kExitOk;
  }
  if (!makeDirs(parentOf(path), 0700) ||
      !writeFileAtomic(path, updated->dump(2) + "\n", mode.value_or(0600), error)) {
    ctx.error("Error: " + (error.empty() ? "cannot create " + parentOf(path) : error));
    return kExitFailed;
  }
  ctx.out("Installed `" + std::string(kGuardHookCommand) + "` as a PostToolUse hook in " + path + "\n");
  ctx.out(kOtherAgentsNote);
  return kExitOk;
}

}  // namespace

int setupCommand(CommandContext& ctx, bool assumeYes) {
  auto reply = ctx.call({{"cmd", "ai-instructions"}});
  if (!reply) return kExitFailed;
  auto value = reply->find("value");
  if (value != reply->end() && value->is_string()) ctx.out(value->get<std::string>() + "\n");
  int code = installGuardHook(ctx, assumeYes);
  if (!offerSandboxedStarts(ctx, assumeYes)) code = kExitFailed;
  return code;
}

}  // namespace caskel::cli
