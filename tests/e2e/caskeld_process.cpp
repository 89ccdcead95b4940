#include "e2e/caskeld_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <sstream>

extern char** environ;

namespace caskel::test {

namespace {

std::vector<std::string> currentEnvironment(const std::map<std::string, std::string>& overrides,
                                            const std::vector<std::string>& removed) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    auto eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& name : removed) env.erase(name);
  for (const auto& [k, v] : overrides) env[k] = v;
  std::vector<std::string> out;
  for (const auto& [k, v] : env) out.push_back(k + "=" + v);
  return out;
}

// Runs a program to completion, returning its standard output.
std::string runCapture(const std::vector<std::string>& argv) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipeFds[1], 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return out;
}

}  // namespace

CaskeldProcess::CaskeldProcess() : CaskeldProcess(Options{}) {}

CaskeldProcess::CaskeldProcess(Options options) : options_(std::move(options)) {
  socketPath_ = home_.path() + "/sock/caskel.sock";
  ::mkdir((home_.path() + "/pinentry").c_str(), 0700);
  pinentry_ = std::make_unique<ScriptedPinentry>(home_.path() + "/pinentry");
  pinentry_->setDefault(std::string("PIN ") + kPassphrase);
  if (options_.auditEnabled) {
    std::string dir = home_.path() + "/.config/caskel";
    ::mkdir((home_.path() + "/.config").c_str(), 0700);
    ::mkdir(dir.c_str(), 0700);
    writeText(dir + "/defaults.json", R"({"caskel.auditLogEnabled": true})");
  }
}

// A graceful stop, so the server removes its socket and private directories.
CaskeldProcess::~CaskeldProcess() { stop(SIGTERM); }

std::string CaskeldProcess::socketDir() const { return home_.path() + "/sock"; }

std::string CaskeldProcess::rawClientPath() { return buildPath("tests/raw_client"); }

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
  std::vector<std::string> envList = currentEnvironment(env, removed);
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
  if (!options_.launcher.empty()) argv.insert(argv.begin(), options_.launcher.begin(), options_.launcher.end());

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
  std::mutex readyMutex;
  std::condition_variable readyCv;
  bool decided = false;
  bool listening = false;
  reader_ = std::thread([&, this] {
    char buf[4096];
    ssize_t n;
    bool told = false;
    while ((n = ::read(stdoutFd_, buf, sizeof buf)) > 0) {
      std::lock_guard lock(outputMutex_);
      output_.append(buf, static_cast<size_t>(n));
      if (!told && (output_.find("listening on") != std::string::npos || output_.find("refusing") != std::string::npos)) {
        told = true;
        std::lock_guard ready(readyMutex);
        listening = output_.find("listening on") != std::string::npos;
        decided = true;
        readyCv.notify_all();
      }
    }
    if (!told) {
      std::lock_guard ready(readyMutex);
      decided = true;
      readyCv.notify_all();
    }
  });
  std::unique_lock lock(readyMutex);
  // An upper bound only: the server reports readiness on its own.
  readyCv.wait_for(lock, std::chrono::seconds(60), [&] { return decided; });
  bool ok = listening;
  lock.unlock();
  if (!ok) {
    // Let the reader finish on its own once the process is gone (joined in stop()).
  }
  return ok;
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
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

std::string CaskeldProcess::requestRaw(const std::string& bytes) const {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socketPath_.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return {};
  }
  // A hung server fails the test instead of hanging it: no reply within 60 s counts as none.
  timeval limit{60, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  std::string reply;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) reply.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return reply;
}

nlohmann::json CaskeldProcess::request(const nlohmann::json& body) const {
  std::string reply = requestRaw(body.dump());
  return nlohmann::json::parse(reply, nullptr, false);
}

std::string CaskeldProcess::requestFrom(const std::vector<std::string>& command, const nlohmann::json& body) const {
  std::vector<std::string> argv = command;
  argv.push_back(socketPath_);
  argv.push_back(body.dump());
  return runCapture(argv);
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

}  // namespace caskel::test

namespace caskel::test {

bool CaskeldProcess::waitForAudit(const std::vector<std::string>& needles, int timeoutMs) const {
  ::mkdir((home_.path() + "/.config").c_str(), 0700);
  ::mkdir(configDir().c_str(), 0700);
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
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    ::poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0)));
    char buf[4096];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
    ok = done();
  }
  ::close(fd);
  return ok;
}

int connectTo(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string readToEnd(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

}  // namespace caskel::test
