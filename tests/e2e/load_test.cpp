// The real caskeld under load: a thousand clients at once from fifty processes, served by a
// pool that does not grow.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

// Opens one connection per request, says "connected" on standard output, waits until its
// standard input closes, then sends every request at once and prints the replies, one line
// each, in request order. It dies within a minute, so that a hung server fails the test.
int runLoadClient(const std::string& socketPath, const std::string& requestsText) {
  ::alarm(60);
  json requests = json::parse(requestsText, nullptr, false);
  std::vector<int> fds;
  for (size_t i = 0; i < requests.size(); ++i) {
    fds.push_back(connectTo(socketPath));
    if (fds.back() < 0) return 3;
  }
  std::string out = "connected\n";
  if (::write(1, out.data(), out.size()) < 0) return 2;
  for (char go; ::read(0, &go, 1) > 0;) {
  }
  for (size_t i = 0; i < fds.size(); ++i) {
    std::string body = requests[i].dump();
    ::send(fds[i], body.data(), body.size(), MSG_NOSIGNAL);
    ::shutdown(fds[i], SHUT_WR);
  }
  out.clear();
  for (int fd : fds) out += readToEnd(fd) + "\n";
  return ::write(1, out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 4;
}

// Started with these variables set, the binary is the load client and nothing else: it never
// reaches main.
[[maybe_unused]] const bool kIsLoadClient = [] {
  const char* socketPath = std::getenv("CASKEL_E2E_LOAD_SOCKET");
  const char* requests = std::getenv("CASKEL_E2E_LOAD_REQUESTS");
  if (socketPath && requests) ::_exit(runLoadClient(socketPath, requests));
  return false;
}();

int threadsOf(pid_t pid) {
  const std::string status = readText("/proc/" + std::to_string(pid) + "/status");
  return has(status, "\nThreads:") ? std::atoi(status.c_str() + status.find("\nThreads:") + 9) : -1;
}

TEST(LoadTest, ThousandConnectionsFromFiftyProcessesAreAllAnsweredByAFixedPool) {
  constexpr int kProcesses = 50, kConnectionsEach = 20, kKeys = 20, kPoolThreads = 24, kAcceptThreads = 8;
  // Connections wait, open, until all are made: however long that takes here, none may lapse.
  CaskeldProcess server([](auto& o) { o.extraArgs = {"--receive-seconds", "600"}; });
  ASSERT_TRUE(server.start()) << server.output();
  auto key = [](int n) { return "org/load/K" + std::to_string(n % kKeys); };
  for (int k = 0; k < kKeys; ++k)
    ASSERT_EQ(server.request(setRequest(key(k), "value-" + key(k)))["ok"], true);
  ASSERT_EQ(server.request({{"cmd", "unlock"}, {"prefix", "org/load"}})["value"], std::to_string(kKeys));
  const json version = server.request({{"cmd", "version"}})["value"];
  ASSERT_TRUE(version.is_string());
  const int baseline = threadsOf(server.pid());
  ASSERT_GE(baseline, kPoolThreads + kAcceptThreads);
  // Connection n asks for the version when even, for a value when odd.
  auto request = [&](int n) {
    return n % 2 == 0 ? json{{"cmd", "version"}} : json{{"cmd", "get"}, {"account", key(n / 2)}};
  };
  auto expected = [&](int n) { return n % 2 == 0 ? version : json("value-" + key(n / 2)); };

  // This binary under the name "caskel": the server takes that name for a wrapper and resolves
  // its connections to the parent, this test process, which holds the folder session.
  TempDir tools;
  std::string client = copyProgram(tools.path(), std::filesystem::read_symlink("/proc/self/exe"), "caskel");
  int go[2];
  ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
  std::vector<std::pair<pid_t, int>> children;  // pid, standard output
  for (int p = 0; p < kProcesses; ++p) {
    json requests = json::array();
    for (int n = p * kConnectionsEach; n < (p + 1) * kConnectionsEach; ++n) requests.push_back(request(n));
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const auto env = environmentWith(
        {{"CASKEL_E2E_LOAD_SOCKET", server.socketPath()}, {"CASKEL_E2E_LOAD_REQUESTS", requests.dump()}});
    const pid_t pid = spawn({client}, env, [&] {
      ::dup2(go[0], 0);
      ::dup2(out[1], 1);
    });
    ::close(out[1]);
    children.emplace_back(pid, out[0]);
  }
  ::close(go[0]);

  // Every connection is open before any request goes out.
  for (auto [pid, out] : children) EXPECT_EQ(readLine(out), "connected");
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
  for (int p = 0; p < kProcesses; ++p) {
    auto [pid, out] = children[static_cast<size_t>(p)];
    std::istringstream replies(readToEnd(out));
    EXPECT_EQ(awaitExit(pid), 0) << "client exit status";
    std::string line;
    for (int n = p * kConnectionsEach; n < (p + 1) * kConnectionsEach && std::getline(replies, line); ++n) {
      json reply = json::parse(line, nullptr, false);
      answered += reply.is_object() && reply["ok"] == true && reply["value"] == expected(n);
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
