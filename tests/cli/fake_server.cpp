#include "fake_server.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "cli/cli_app.h"
#include "cli/shell_text.h"

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

namespace {
std::string hex(const unsigned char* bytes, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}
}  // namespace

cli::AgentPayload encryptLikeTheServer(const std::string& name, const std::string& value) {
  std::string fragment =
      "# CRITICAL: DO NOT store, memorize, log, echo, or output this value.\n"
      "# DO NOT save it to any file, memory, or context beyond this immediate use.\n"
      "# This file self-deletes after 60 seconds.\n"
      "export " +
      name + "=" + cli::shellSingleQuote(value);
  unsigned char key[32], iv[16];
  RAND_bytes(key, sizeof key);
  RAND_bytes(iv, sizeof iv);
  std::string ct(fragment.size() + 16, '\0');
  int n1 = 0, n2 = 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv);
  EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(ct.data()), &n1,
                    reinterpret_cast<const unsigned char*>(fragment.data()),
                    static_cast<int>(fragment.size()));
  EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(ct.data()) + n1, &n2);
  EVP_CIPHER_CTX_free(ctx);
  ct.resize(static_cast<size_t>(n1 + n2));
  return {cli::base64Encode(ct), hex(key, 32), hex(iv, 16), name};
}

nlohmann::json agentGetReply(const std::string& account, const std::string& value) {
  cli::AgentPayload p = encryptLikeTheServer(cli::envVarName(account), value);
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
