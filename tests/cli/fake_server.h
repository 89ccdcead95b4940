#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/agent_fragment.h"
#include "caskel/version.h"
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

// Runs `caskel ARGS` in this process with `input` as standard input (a terminal's answers
// when `terminal`).
inline ToolRun runTool(const std::vector<std::string>& args, const std::string& input = "",
                       bool terminal = false) {
  TempDir dir;
  writeText(dir.file("stdin"), input);
  ToolRun run;
  cli::CliIo io;
  io.out = [&](std::string_view s) { run.out.append(s); };
  io.err = [&](std::string_view s) { run.err.append(s); };
  io.inFd = ::open(dir.file("stdin").c_str(), O_RDONLY | O_CLOEXEC);
  io.inIsTerminal = terminal;
  std::vector<const char*> argv = {"caskel"};
  for (const auto& a : args) argv.push_back(a.c_str());
  run.code = cli::runCli(static_cast<int>(argv.size()), argv.data(), io);
  ::close(io.inFd);
  return run;
}

inline bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A request as the tool sends it: the fields in `text` and the tool's version.
inline nlohmann::json sent(const std::string& text) {
  nlohmann::json request = nlohmann::json::parse(text);
  request["cli_version"] = kVersion;
  return request;
}

// "get a/b/K --raw" as arguments.
inline std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

inline const std::string kAwkward = "it's \"q\" $HOME `id`\nsecond line\\";

// The tool against canned replies: `ls` lists items_ (whose "value" the listing leaves out),
// `get` reads them, and an agent's server says so and encrypts.
class ToolTest : public ::testing::Test {
 protected:
  nlohmann::json answer(const nlohmann::json& r) {
    const std::string cmd = r.value("cmd", ""), account = r.value("account", "");
    if (cmd == "ls") {
      nlohmann::json accounts = nlohmann::json::array();
      for (auto [a, item] : items_) {
        item.erase("value");
        item["account"] = a;
        accounts.push_back(item);
      }
      return {{"ok", true}, {"accounts", accounts}};
    }
    if (cmd == "get" && !items_.contains(account)) return {{"ok", false}, {"error", "Secret not found"}};
    if (cmd == "get" && agent_) return agentGetReply(account, items_[account]["value"]);
    if (cmd == "get") return {{"ok", true}, {"value", items_[account]["value"]}};
    if (cmd == "set") stored_[account] = r["value"];
    if (cmd == "unlock") return {{"ok", true}, {"value", "2"}};
    // A field the tool does not know, which its JSON output must leave out.
    if (cmd == "session") {
      return {{"ok", true}, {"unlocked", {{{"prefix", "acme/api/"}, {"count", 3}, {"x", 1}}}}};
    }
    if (cmd == "config" && !r.contains("action")) {
      return {{"ok", true},
              {"default_timeout", 14400},
              {"timeouts", {{{"prefix", "acme/api/"}, {"timeout", 7200}}}}};
    }
    if (cmd == "ai-instructions") return {{"ok", true}, {"value", "## Credential Management (`caskel`)"}};
    return {{"ok", true}, {"agent", agent_}, {"value", "0.1.0"}};
  }
  bool agent_ = false;                         // set before the first request
  std::map<std::string, std::string> stored_;  // the value of each "set", by account
  std::map<std::string, nlohmann::json> items_ = {
      {"acme/api/KEY", {{"value", kAwkward}, {"type", "api_key"}, {"bundle", "web"}}},
      {"acme/api/OTHER", {{"value", "other-value-123"}, {"bundle", "web"}, {"peek", "other-va"}}},
      {"acme/api/sub/DEEP", {{"value", "deep-value"}}},
      {"zeta/x/Y", {{"value", "y-value"}}}};
  TempDir dir_;
  ScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
  FakeServer server_{[this](const nlohmann::json& r) { return answer(r); }};
};

}  // namespace caskel::test
