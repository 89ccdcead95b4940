// The real caskeld under load: a thousand clients at once from fifty processes, served by a
// pool that does not grow.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "e2e/caskeld_process.h"

extern char** environ;

namespace caskel::test {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// The load client: this very binary, started under the name "caskel".
constexpr const char* kLoadSocketVar = "CASKEL_E2E_LOAD_SOCKET";
constexpr const char* kLoadRequestsVar = "CASKEL_E2E_LOAD_REQUESTS";

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0 && errno != EINTR) return;
    if (n > 0) done += static_cast<size_t>(n);
  }
}

// Opens one connection per request, says "connected" on standard output, waits until its
// standard input closes, then sends every request at once and prints the replies, one line
// each, in request order (an empty line for a connection that got none).
int runLoadClient(const std::string& socketPath, const std::string& requestsText) {
  json requests = json::parse(requestsText, nullptr, false);
  if (!requests.is_array()) return 2;
  std::vector<int> fds;
  for (size_t i = 0; i < requests.size(); ++i) {
    int fd = connectTo(socketPath);
    if (fd < 0) return 3;
    fds.push_back(fd);
  }
  writeAll(1, "connected\n");
  char go;
  while (::read(0, &go, 1) > 0) {
  }
  for (size_t i = 0; i < fds.size(); ++i) {
    std::string body = requests[i].dump();
    ::send(fds[i], body.data(), body.size(), MSG_NOSIGNAL);
    ::shutdown(fds[i], SHUT_WR);
  }
  std::vector<std::string> replies(fds.size());
  std::vector<pollfd> open;
  for (int fd : fds) open.push_back(pollfd{fd, POLLIN, 0});
  auto deadline = Clock::now() + std::chrono::seconds(60);
  size_t left = fds.size();
  while (left > 0 && Clock::now() < deadline) {
    if (::poll(open.data(), open.size(), 1000) < 0 && errno != EINTR) break;
    for (size_t i = 0; i < open.size(); ++i) {
      if (open[i].fd < 0 || open[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = ::read(open[i].fd, buf, sizeof buf);
      if (n > 0) {
        replies[i].append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EAGAIN) {
        ::close(open[i].fd);
        open[i].fd = -1;
        --left;
      }
    }
  }
  std::string out;
  for (auto& reply : replies) {
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
    out += reply + "\n";
  }
  writeAll(1, out);
  return left == 0 ? 0 : 4;
}

// Started as the load client, the binary does that and nothing else: it never reaches main.
[[maybe_unused]] const bool kIsLoadClient = [] {
  const char* socketPath = std::getenv(kLoadSocketVar);
  const char* requests = std::getenv(kLoadRequestsVar);
  if (socketPath && requests) ::_exit(runLoadClient(socketPath, requests));
  return false;
}();

// This binary under the name "caskel" in `dir`: the server takes that name for a wrapper and
// resolves its connections to the parent, this test process, which holds the folder session.
std::string loadClientIn(const std::string& dir) {
  return copyProgram(dir, std::filesystem::read_symlink("/proc/self/exe"), "caskel");
}

int threadsOf(pid_t pid) {
  std::istringstream in(readText("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  }
  return -1;
}

// Reads one line from `fd`, bounded by `deadline`.
std::string readLine(int fd, Clock::time_point deadline) {
  std::string line;
  char c;
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    if (::read(fd, &c, 1) != 1 || c == '\n') break;
    line += c;
  }
  return line;
}

TEST(LoadTest, ThousandConnectionsFromFiftyProcessesAreAllAnsweredByAFixedPool) {
  constexpr int kProcesses = 50;
  constexpr int kConnectionsEach = 20;
  constexpr int kKeys = 20;
  constexpr int kPoolThreads = 24;
  constexpr int kAcceptThreads = 8;
  CaskeldProcess server;
  ASSERT_TRUE(server.start()) << server.output();
  for (int k = 0; k < kKeys; ++k) {
    ASSERT_EQ(
        server.request(setRequest("org/load/K" + std::to_string(k), "value-" + std::to_string(k)))["ok"],
        true);
  }
  ASSERT_EQ(server.request({{"cmd", "unlock"}, {"prefix", "org/load"}})["value"], std::to_string(kKeys));
  const json version = server.request({{"cmd", "version"}})["value"];
  ASSERT_TRUE(version.is_string());
  const int baseline = threadsOf(server.pid());
  ASSERT_GE(baseline, kPoolThreads + kAcceptThreads);

  TempDir tools;
  const std::string client = loadClientIn(tools.path());
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.push_back(std::string(kLoadSocketVar) + "=" + server.socketPath());

  int go[2];
  ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
  struct Child {
    pid_t pid;
    int out;
    json requests;
  };
  std::vector<Child> children;
  for (int p = 0; p < kProcesses; ++p) {
    json requests = json::array();
    for (int c = 0; c < kConnectionsEach; ++c) {
      int n = p * kConnectionsEach + c;
      if (n % 2 == 0) {
        requests.push_back({{"cmd", "version"}});
      } else {
        requests.push_back({{"cmd", "get"}, {"account", "org/load/K" + std::to_string(n / 2 % kKeys)}});
      }
    }
    // Everything the child needs is built before fork: it may only exec.
    std::vector<std::string> childEnv = env;
    childEnv.push_back(std::string(kLoadRequestsVar) + "=" + requests.dump());
    std::vector<char*> envp;
    for (auto& e : childEnv) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string arg0 = client;
    char* argv[] = {arg0.data(), nullptr};
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(go[0], 0);
      ::dup2(out[1], 1);
      ::execve(client.c_str(), argv, envp.data());
      ::_exit(127);
    }
    ::close(out[1]);
    children.push_back(Child{pid, out[0], std::move(requests)});
  }
  ::close(go[0]);

  // Every connection is open before any request goes out.
  auto deadline = Clock::now() + std::chrono::seconds(30);
  for (auto& child : children) EXPECT_EQ(readLine(child.out, deadline), "connected");
  int peak = threadsOf(server.pid());
  std::atomic<bool> done{false};
  std::thread sampler([&] {
    // A measurement, not a wait: the peak thread count while the burst is served.
    while (!done) {
      peak = std::max(peak, threadsOf(server.pid()));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  ::close(go[1]);

  int answered = 0;
  for (auto& child : children) {
    std::istringstream replies(readToEnd(child.out));
    ::close(child.out);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "client exit status " << status;
    std::string line;
    for (const json& request : child.requests) {
      if (!std::getline(replies, line)) break;
      json reply = json::parse(line, nullptr, false);
      if (request["cmd"] == "version") {
        answered += reply.is_object() && reply["ok"] == true && reply["value"] == version;
      } else {
        std::string key = request["account"];
        answered += reply.is_object() && reply["ok"] == true &&
                    reply["value"] == "value-" + key.substr(key.find('K') + 1);
      }
    }
  }
  done = true;
  sampler.join();
  EXPECT_EQ(answered, kProcesses * kConnectionsEach);
  // The pool is fixed: a burst may not add threads (a small allowance for timers).
  EXPECT_LE(peak, baseline + 2) << "baseline " << baseline;
  EXPECT_LE(peak, kPoolThreads + kAcceptThreads + 10);
  EXPECT_TRUE(server.running());
  EXPECT_EQ(server.request({{"cmd", "version"}})["ok"], true);
  EXPECT_TRUE(server.waitForAudit({"GET account=org/load/K1 result=ok (cached)"}));
}

}  // namespace
}  // namespace caskel::test
