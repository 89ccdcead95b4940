#include "fake_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "cli/cli_app.h"

namespace caskel::test {

FakeServer::FakeServer(Handler handler)
    : path_(dir_.file("caskel.sock")), env_("CASKEL_SOCKET", path_), handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 16) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error("fake server cannot listen");
  }
  thread_ = std::thread([this] { serve(); });
}

FakeServer::~FakeServer() {
  char c = 'x';
  if (::write(stopPipe_[1], &c, 1) != 1) {
  }
  thread_.join();
  ::close(listenFd_);
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
}

void FakeServer::serve() {
  while (true) {
    struct pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::string bytes;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) bytes.append(buf, static_cast<size_t>(n));
    nlohmann::json request = nlohmann::json::parse(bytes, nullptr, false);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    nlohmann::json answer = handler_(request);
    std::string reply = answer.is_string() ? answer.get<std::string>() : answer.dump();
    if (::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
    }
    ::close(fd);
  }
}

std::vector<nlohmann::json> FakeServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> FakeServer::commands() const {
  std::vector<std::string> out;
  for (const auto& r : requests()) out.push_back(r.value("cmd", "?"));
  return out;
}

nlohmann::json agentGetReply(const std::string& account, const std::string& value) {
  const AgentPayload p = encryptForAgent(account, value).value();
  return {{"ok", true},         {"value", "__encrypted__"},
          {"agent", true},      {"encrypted", true},
          {"ct", p.ciphertext}, {"k", p.key},
          {"iv", p.iv},         {"kn", p.name}};
}

ToolRun runTool(const std::vector<std::string>& args, const std::string& input) {
  TempDir dir;
  writeText(dir.file("stdin"), input);
  int in = ::open(dir.file("stdin").c_str(), O_RDONLY | O_CLOEXEC);
  ToolRun run;
  cli::CliIo io;
  io.out = [&](std::string_view s) { run.out.append(s); };
  io.err = [&](std::string_view s) { run.err.append(s); };
  io.inFd = in;
  std::vector<const char*> argv = {"caskel"};
  for (const auto& a : args) argv.push_back(a.c_str());
  run.code = cli::runCli(static_cast<int>(argv.size()), argv.data(), io);
  ::close(in);
  return run;
}

}  // namespace caskel::test
