#include "e2e/e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "support/test_env.h"

extern char** environ;

namespace caskel::test {

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides,
                                         const std::function<bool(const std::string&)>& drop) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    auto eq = entry.find('=');
    if (eq != std::string::npos && !(drop && drop(entry.substr(0, eq))))
      env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : overrides) env[k] = v;
  std::vector<std::string> out;
  for (const auto& [k, v] : env) out.push_back(k + "=" + v);
  return out;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const RunOptions& options) {
  TempDir io;
  writeText(io.file("in"), options.input);
  const std::string in = io.file("in"), out = io.file("out"), err = io.file("err");
  // Built before fork: the child may only redirect and exec.
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  if (options.env) {
    for (const auto& e : *options.env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
  }
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(::open(in.c_str(), O_RDONLY), 0);
    ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    if (options.inChild) options.inChild();
    ::execvpe(args[0], args.data(), options.env ? envp.data() : environ);
    ::_exit(127);
  }
  // An upper bound only: the wait ends when the process does.
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  pollfd p{pidfd, POLLIN, 0};
  if (pidfd < 0 || ::poll(&p, 1, 60000) != 1) ::kill(child, SIGKILL);
  if (pidfd >= 0) ::close(pidfd);
  int status = 0;
  ::waitpid(child, &status, 0);
  ProcessResult result;
  if (WIFEXITED(status)) result.code = WEXITSTATUS(status);
  result.out = readText(out);
  result.err = readText(err);
  return result;
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
