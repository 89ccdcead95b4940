#include "e2e/caskeld_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "platform/file_system.h"

extern char** environ;

namespace caskel::test {

std::vector<std::string> environmentWith(const Env& overrides,
                                         const std::function<bool(const std::string&)>& drop) {
  Env env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const auto eq = entry.find('=');
    if (eq != std::string::npos && !(drop && drop(entry.substr(0, eq))))
      env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : overrides) env[k] = v;
  std::vector<std::string> out;
  for (const auto& [k, v] : env) out.push_back(k + "=" + v);
  return out;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::function<void()>& inChild) {
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    if (inChild) inChild();
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  return child;
}

int awaitExit(pid_t pid, int timeoutMs, bool* ended) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  pollfd p{pidfd, POLLIN, 0};
  const bool done = pidfd >= 0 && ::poll(&p, 1, timeoutMs) == 1;
  if (!done) ::kill(pid, SIGKILL);
  if (pidfd >= 0) ::close(pidfd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (ended) *ended = done;
  return status;
}

std::string readLine(int fd, int timeoutMs) {
  std::string line;
  pollfd p{fd, POLLIN, 0};
  for (char c; ::poll(&p, 1, timeoutMs) == 1 && ::read(fd, &c, 1) == 1 && c != '\n';) line += c;
  return line;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const RunOptions& options) {
  TempDir io;
  const std::string in = io.file("in"), out = io.file("out"), err = io.file("err");
  writeText(in, options.input);
  // An upper bound only: the wait ends when the process does.
  const int status = awaitExit(spawn(argv, options.env.value_or(environmentWith({})), [&] {
    ::dup2(::open(in.c_str(), O_RDONLY), 0);
    ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    if (options.inChild) options.inChild();
  }));
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readText(out), readText(err)};
}

std::string copyProgram(const std::string& dir, const std::string& from, const std::string& relative) {
  const std::filesystem::path target = dir + "/" + relative;
  if (modeOf(target) < 0) {
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(from, target);
    ::chmod(target.c_str(), 0700);
  }
  return target.string();
}

std::vector<std::string> unprivilegedLauncher() {
  if (::getuid() != 0) return {};
  return {"/usr/bin/setpriv", "--bounding-set=-all", "--inh-caps=-all", "--ambient-caps=-all"};
}

int connectTo(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  ::close(fd);
  return -1;
}

int sendOn(const std::string& socketPath, const std::string& bytes) {
  const int fd = connectTo(socketPath);
  // A hung server fails the test instead of hanging it: no reply within 60 s counts as none.
  timeval limit{60, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  return fd;
}

std::string readToEnd(int fd) {
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return out;
}

CaskeldProcess::CaskeldProcess(const std::function<void(Options&)>& configure) {
  if (configure) configure(options_);
  socketPath_ = socketDir() + "/caskel.sock";
  ::mkdir((home_.path() + "/pinentry").c_str(), 0700);
  pinentry_ = std::make_unique<ScriptedPinentry>(home_.path() + "/pinentry");
  pinentry_->setDefault(std::string("PIN ") + kPassphrase);
  if (options_.auditEnabled) {
    fs::ensurePrivateDirectory(configDir());
    writeText(configDir() + "/defaults.json", R"({"caskel.auditLogEnabled": true})");
  }
}

// A graceful stop, so the server removes its socket and private directories.
CaskeldProcess::~CaskeldProcess() {
  stop(SIGTERM);
}

std::vector<std::string> CaskeldProcess::environment() const {
  // Leak checking needs ptrace, which a non-dumpable process refuses.
  Env env = {{"HOME", home_.path()}, {"ASAN_OPTIONS", "detect_leaks=0"}};
  for (const auto& [k, v] : pinentry_->environment()) {
    if (k != "CASKEL_PINENTRY" || !options_.unsetPinentry) env[k] = v;
  }
  if (!options_.desktopProgram.empty()) {
    env["CASKEL_SOCKET"] = socketPath_;
    env["QT_QPA_PLATFORM"] = "offscreen";
  }
  for (const auto& [k, v] : options_.extraEnv) env[k] = v;
  return environmentWith(
      env, [](const std::string& name) { return name.starts_with("XDG_") || name.starts_with("CASKEL_"); });
}

bool CaskeldProcess::start() {
  if (!options_.socket.empty()) socketPath_ = options_.socket;
  std::vector<std::string> argv = options_.launcher;
  if (options_.desktopProgram.empty()) {
    argv.insert(argv.end(), {buildPath("src/caskeld"), "--socket", socketPath_});
  } else {
    argv.push_back(options_.desktopProgram);
  }
  argv.insert(argv.end(), options_.extraArgs.begin(), options_.extraArgs.end());
  const std::string out = outputPath();
  writeText(out, "");
  pid_ = spawn(argv, environment(), [&] {
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    ::dup2(::open(out.c_str(), O_WRONLY | O_APPEND), 1);
    ::dup2(1, 2);
    if (options_.umask) ::umask(*options_.umask);
    if (!options_.workingDir.empty() && ::chdir(options_.workingDir.c_str()) != 0) ::_exit(127);
  });
  // Bounded, though the server says on its own whether it listens or refuses to.
  waitUntil([&] { return has(output(), "listening on") || has(output(), "refusing"); }, home(), 60000);
  return has(output(), "listening on");
}

int CaskeldProcess::stop(int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  int status = 0;
  ::waitpid(std::exchange(pid_, -1), &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool CaskeldProcess::running() const {
  siginfo_t info{};
  // Looks without reaping: a zombie has exited.
  return pid_ > 0 && ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

json CaskeldProcess::ask(const std::vector<std::string>& command, const json& body,
                         const RunOptions& run) const {
  std::vector<std::string> argv = command;
  argv.insert(argv.end(), {socketPath_, body.dump()});
  return json::parse(runProcess(argv, run).out, nullptr, false);
}

std::string CaskeldProcess::lastPrompt() const {
  const auto shown = pinentry_->descriptions();
  return shown.empty() ? std::string() : shown.back();
}

std::vector<std::string> CaskeldProcess::auditLines() const {
  std::vector<std::string> lines;
  std::istringstream in(readText(configDir() + "/audit.log"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool CaskeldProcess::waitForAudit(const std::vector<std::string>& needles, int timeoutMs) const {
  fs::ensurePrivateDirectory(configDir());
  auto holdsAll = [&](const std::string& line) {
    return std::ranges::all_of(needles, [&](const std::string& n) { return has(line, n); });
  };
  return waitUntil([&] { return std::ranges::any_of(auditLines(), holdsAll); }, configDir(), timeoutMs);
}

json setRequest(const std::string& account, const std::string& value, const json& extra) {
  json body = {{"cmd", "set"}, {"account", account}, {"value", value}};
  body.update(extra);
  return body;
}

std::vector<std::string> ToolFixture::toolEnv(const Env& extra) const {
  ::mkdir(runtimeDir.c_str(), 0700);
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
