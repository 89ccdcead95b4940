#include "e2e/caskeld_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "platform/file_system.h"

namespace caskel::test {

CaskeldProcess::CaskeldProcess() : CaskeldProcess(Options{}) {}

CaskeldProcess::CaskeldProcess(Options options) : options_(std::move(options)) {
  socketPath_ = home_.path() + "/sock/caskel.sock";
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

std::string CaskeldProcess::socketDir() const {
  return home_.path() + "/sock";
}

std::string CaskeldProcess::rawClientPath() {
  return buildPath("tests/raw_client");
}

bool CaskeldProcess::start() {
  std::map<std::string, std::string> env;
  for (const auto& [k, v] : pinentry_->environment()) env[k] = v;
  env["HOME"] = home_.path();
  // Leak checking needs ptrace, which a non-dumpable process refuses.
  env["ASAN_OPTIONS"] = "detect_leaks=0";
  std::vector<std::string> removed = {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "CASKEL_SOCKET"};
  if (options_.unsetPinentry) {
    env.erase("CASKEL_PINENTRY");
    removed.push_back("CASKEL_PINENTRY");
  }
  for (const auto& [k, v] : options_.extraEnv) env[k] = v;
  std::vector<std::string> envList = environmentWith(env, [&](const std::string& name) {
    return std::find(removed.begin(), removed.end(), name) != removed.end();
  });
  std::vector<std::string> argv = {buildPath("src/caskeld")};
  bool ownSocket = true;
  for (size_t i = 0; i < options_.extraArgs.size(); ++i) {
    if (options_.extraArgs[i] == "--socket" && i + 1 < options_.extraArgs.size()) {
      ownSocket = false;
      socketPath_ = options_.extraArgs[i + 1];
    }
  }
  if (ownSocket) argv.insert(argv.end(), {"--socket", socketPath_});
  for (const auto& a : options_.extraArgs) argv.push_back(a);
  if (!options_.launcher.empty())
    argv.insert(argv.begin(), options_.launcher.begin(), options_.launcher.end());

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    if (options_.umask) ::umask(*options_.umask);
    if (!options_.workingDir.empty() && ::chdir(options_.workingDir.c_str()) != 0) ::_exit(127);
    int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : envList) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (options_.launcher.empty()) {
      ::execve(args[0], args.data(), envp.data());
    } else {
      ::execvpe(args[0], args.data(), envp.data());
    }
    ::_exit(127);
  }
  ::close(out[1]);
  stdoutFd_ = out[0];
  // Reads until the server says whether it listens (bounded: it reports that on its own), then
  // leaves the rest of its output to a reader thread.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  char buf[4096];
  ssize_t n = 0;
  bool listening = false;
  for (pollfd p{stdoutFd_, POLLIN, 0}; !listening;) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    if ((n = ::read(stdoutFd_, buf, sizeof buf)) <= 0) break;
    std::lock_guard lock(outputMutex_);
    output_.append(buf, static_cast<size_t>(n));
    listening = output_.find("listening on") != std::string::npos;
    if (output_.find("refusing") != std::string::npos) break;
  }
  reader_ = std::thread([this] {
    char more[4096];
    ssize_t got;
    while ((got = ::read(stdoutFd_, more, sizeof more)) > 0) {
      std::lock_guard lock(outputMutex_);
      output_.append(more, static_cast<size_t>(got));
    }
  });
  return listening;
}

int CaskeldProcess::stop(int signal) {
  int result = -1;
  if (pid_ > 0) {
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();
  if (stdoutFd_ >= 0) {
    ::close(stdoutFd_);
    stdoutFd_ = -1;
  }
  return result;
}

bool CaskeldProcess::restart(int signal) {
  stop(signal);
  {
    std::lock_guard lock(outputMutex_);
    output_.clear();
  }
  return start();
}

bool CaskeldProcess::running() const {
  if (pid_ <= 0) return false;
  std::string stat = readText("/proc/" + std::to_string(pid_) + "/stat");
  auto close = stat.rfind(") ");
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' &&
         stat[close + 2] != 'X';
}

std::string CaskeldProcess::requestRaw(const std::string& bytes) const {
  int fd = connectTo(socketPath_);
  if (fd < 0) return {};
  // A hung server fails the test instead of hanging it: no reply within 60 s counts as none.
  timeval limit{60, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  std::string reply = readToEnd(fd);
  ::close(fd);
  return reply;
}

nlohmann::json CaskeldProcess::request(const nlohmann::json& body) const {
  std::string reply = requestRaw(body.dump());
  return nlohmann::json::parse(reply, nullptr, false);
}

std::string CaskeldProcess::requestFrom(const std::vector<std::string>& command, const nlohmann::json& body,
                                        const RunOptions& run) const {
  std::vector<std::string> argv = command;
  argv.push_back(socketPath_);
  argv.push_back(body.dump());
  return runProcess(argv, run).out;
}

nlohmann::json CaskeldProcess::ask(const std::vector<std::string>& command, const nlohmann::json& body,
                                   const RunOptions& run) const {
  return nlohmann::json::parse(requestFrom(command, body, run), nullptr, false);
}

std::string CaskeldProcess::lastPrompt() const {
  auto shown = pinentry_->descriptions();
  return shown.empty() ? std::string() : shown.back();
}

std::string CaskeldProcess::output() const {
  std::lock_guard lock(outputMutex_);
  return output_;
}

std::vector<std::string> CaskeldProcess::auditLines() const {
  std::vector<std::string> lines;
  std::istringstream in(readText(configDir() + "/audit.log"));
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool CaskeldProcess::waitForAudit(const std::vector<std::string>& needles, int timeoutMs) const {
  fs::ensurePrivateDirectory(configDir());
  return waitUntil(
      [&] {
        for (const auto& line : auditLines()) {
          bool all = true;
          for (const auto& n : needles) all = all && line.find(n) != std::string::npos;
          if (all) return true;
        }
        return false;
      },
      configDir(), timeoutMs);
}

bool CaskeldProcess::waitUntil(const std::function<bool()>& done, const std::string& dir, int timeoutMs) {
  int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ::inotify_add_watch(fd, dir.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_DELETE);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool ok = done();
  while (!ok && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    ::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0)));
    char buf[4096];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
    ok = done();
  }
  ::close(fd);
  return ok;
}

nlohmann::json setRequest(const std::string& account, const std::string& value, const nlohmann::json& extra) {
  nlohmann::json body = {{"cmd", "set"}, {"account", account}, {"value", value}};
  body.update(extra);
  return body;
}

}  // namespace caskel::test
