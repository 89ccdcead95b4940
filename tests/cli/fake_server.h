#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/agent_fragment.h"
#include "cli/cli_app.h"
#include "support/test_env.h"

namespace caskel::test {

// A stand-in for caskeld on a temporary socket named by CASKEL_SOCKET for its lifetime: reads
// each request to end of stream, records it and answers with `handler`. A handler that returns
// a JSON string has that text sent as raw bytes (for broken replies).
class FakeServer {
 public:
  using Handler = std::function<nlohmann::json(const nlohmann::json&)>;
  explicit FakeServer(Handler handler) : handler_(std::move(handler)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 16) != 0) {
      throw std::runtime_error("fake server cannot listen");
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeServer() {
    ::shutdown(listenFd_, SHUT_RDWR);  // fails the accept the server waits in
    thread_.join();
    ::close(listenFd_);
  }

  std::vector<nlohmann::json> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::vector<std::string> commands() const {  // the "cmd" of each request, in order
    std::vector<std::string> out;
    for (const auto& r : requests()) out.push_back(r.value("cmd", "?"));
    return out;
  }
  const std::string& socketPath() const { return path_; }

 private:
  void serve() {
    for (int fd; (fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 || errno == EINTR;) {
      if (fd < 0) continue;
      std::string bytes;
      char buf[4096];
      for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<size_t>(n));
      const auto request = nlohmann::json::parse(bytes, nullptr, false);
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      const nlohmann::json answer = handler_(request);
      const std::string reply = answer.is_string() ? answer.get<std::string>() : answer.dump();
      (void)::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      ::close(fd);
    }
  }

  TempDir dir_;
  std::string path_ = dir_.file("caskel.sock");
  ScopedEnv env_{"CASKEL_SOCKET", path_};
  Handler handler_;
  int listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  mutable std::mutex mutex_;
  std::vector<nlohmann::json> requests_;
  std::thread thread_;
};

// The whole "get" reply for an agent.
inline nlohmann::json agentGetReply(const std::string& account, const std::string& value) {
  const AgentPayload p = encryptForAgent(account, value).value();
  return {{"ok", true},         {"value", "__encrypted__"},
          {"agent", true},      {"encrypted", true},
          {"ct", p.ciphertext}, {"k", p.key},
          {"iv", p.iv},         {"kn", p.name}};
}

struct ToolRun {
  int code = -1;
  std::string out, err;
};

// Runs `caskel ARGS` in this process with `input` as standard input (not a terminal).
inline ToolRun runTool(const std::vector<std::string>& args, const std::string& input = "") {
  TempDir dir;
  writeText(dir.file("stdin"), input);
  ToolRun run;
  cli::CliIo io;
  io.out = [&](std::string_view s) { run.out.append(s); };
  io.err = [&](std::string_view s) { run.err.append(s); };
  io.inFd = ::open(dir.file("stdin").c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<const char*> argv = {"caskel"};
  for (const auto& a : args) argv.push_back(a.c_str());
  run.code = cli::runCli(static_cast<int>(argv.size()), argv.data(), io);
  ::close(io.inFd);
  return run;
}

}  // namespace caskel::test
