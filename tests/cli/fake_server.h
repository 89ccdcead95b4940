#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "base/agent_fragment.h"
#include "support/test_env.h"

namespace caskel::test {

// A stand-in for caskeld: listens on a temporary socket named by CASKEL_SOCKET (for its
// lifetime), reads each request to end of stream, records it and answers with `handler`.
// A handler that returns a JSON string has that text sent as raw bytes (for broken replies).
class FakeServer {
 public:
  using Handler = std::function<nlohmann::json(const nlohmann::json&)>;
  explicit FakeServer(Handler handler);
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  std::vector<nlohmann::json> requests() const;
  std::vector<std::string> commands() const;  // the "cmd" of each request, in order
  const std::string& socketPath() const { return path_; }

 private:
  void serve();

  TempDir dir_;
  std::string path_;
  ScopedEnv env_;
  Handler handler_;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  mutable std::mutex mutex_;
  std::vector<nlohmann::json> requests_;
  std::thread thread_;
};

// The whole "get" reply for an agent.
nlohmann::json agentGetReply(const std::string& account, const std::string& value);

// The result of one in-process run of the tool.
struct ToolRun {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs `caskel ARGS` in this process with `input` as standard input (not a terminal).
ToolRun runTool(const std::vector<std::string>& args, const std::string& input = "");

}  // namespace caskel::test
