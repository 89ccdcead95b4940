// The real caskeld under load and under faults: a thousand clients at once, silent peers, a
// kill in the middle of a stream of writes, a full disk, damaged files, and other processes of
// the same user trying to read its memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "e2e/caskeld_process.h"

extern char** environ;

namespace caskel::test {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// ---- the load client: this very binary, started under the name "caskel"

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

std::string selfPath() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// This binary under the name "caskel" in `dir`: the server takes that name for a wrapper and
// resolves its connections to the parent, this test process, which holds the folder session.
std::string loadClientIn(const std::string& dir) {
  std::string path = dir + "/caskel";
  if (::link(selfPath().c_str(), path.c_str()) != 0) {
    writeText(path, readText(selfPath()));
    ::chmod(path.c_str(), 0700);
  }
  return path;
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

json set(const CaskeldProcess& server, const std::string& account, const std::string& value) {
  return server.request({{"cmd", "set"}, {"account", account}, {"value", value}});
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
    ASSERT_EQ(set(server, "org/load/K" + std::to_string(k), "value-" + std::to_string(k))["ok"], true);
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

// ---- crashes and a full disk

// What the stream of writes got back: every key whose set was acknowledged, with its value.
struct Acknowledged {
  std::mutex mutex;
  std::map<std::string, std::string> values;
  std::vector<json> refusals;
};

// After a restart: every acknowledged value is there, exactly, and nothing is mangled.
void expectAllReadable(const CaskeldProcess& server, const std::string& prefix,
                       const std::map<std::string, std::string>& acknowledged,
                       const std::function<std::string(const std::string&)>& expectedValue) {
  json unlock = server.request({{"cmd", "unlock"}, {"prefix", prefix}});
  ASSERT_EQ(unlock["ok"], true) << unlock.dump();
  EXPECT_GE(std::stoul(unlock["value"].get<std::string>()), acknowledged.size());
  json listing = server.request({{"cmd", "ls"}, {"prefix", prefix}});
  ASSERT_EQ(listing["ok"], true);
  std::set<std::string> listed;
  for (auto& entry : listing["accounts"]) listed.insert(entry["account"].get<std::string>());
  for (const auto& [key, value] : acknowledged) EXPECT_TRUE(listed.count(key)) << key << " is gone";
  int wrong = 0;
  for (const auto& key : listed) {
    if (key.rfind(prefix, 0) != 0) continue;
    // A set cut off before its reply may or may not have landed, but never half.
    json got = server.request({{"cmd", "get"}, {"account", key}});
    if (got["ok"] != true || got["value"] != expectedValue(key)) {
      ++wrong;
      ADD_FAILURE() << key << ": " << got.dump().substr(0, 200);
    }
    if (wrong > 5) break;
  }
}

void expectIntactDatabase(const std::string& path) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "ok");
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

std::string streamValue(const std::string& key) {
  return "value of " + key + std::string(200, '.') + "end";
}

TEST(CrashTest, EveryAcknowledgedSetSurvivesAKillInTheMiddleOfAStream) {
  constexpr int kTotal = 1000;
  constexpr int kStreams = 4;
  constexpr int kKillAfter = 400;
  CaskeldProcess server;
  ASSERT_TRUE(server.start()) << server.output();
  ASSERT_EQ(set(server, "org/kill/FIRST", streamValue("org/kill/FIRST"))["ok"], true);
  // This process holds the folder's session, so its sets go through without a prompt.
  ASSERT_EQ(server.request({{"cmd", "unlock"}, {"prefix", "org/kill"}})["ok"], true);
  const int prompts = server.pinentry().promptCount();

  Acknowledged acked;
  acked.values["org/kill/FIRST"] = streamValue("org/kill/FIRST");
  std::atomic<int> count{0};
  const pid_t pid = server.pid();
  std::vector<std::thread> streams;
  for (int s = 0; s < kStreams; ++s) {
    streams.emplace_back([&, s] {
      for (int n = s; n < kTotal; n += kStreams) {
        std::string key = "org/kill/K" + std::to_string(n);
        json reply = set(server, key, streamValue(key));
        if (reply.is_discarded()) return;  // the server is gone
        std::lock_guard lock(acked.mutex);
        if (reply["ok"] != true) {
          acked.refusals.push_back(reply);
          return;
        }
        acked.values[key] = streamValue(key);
        // Killed while the other streams have writes in flight.
        if (++count == kKillAfter) ::kill(pid, SIGKILL);
      }
    });
  }
  for (auto& t : streams) t.join();
  EXPECT_TRUE(acked.refusals.empty()) << acked.refusals.front().dump();
  EXPECT_EQ(server.pinentry().promptCount(), prompts);
  ASSERT_GE(count.load(), kKillAfter);
  ASSERT_LT(count.load(), kTotal) << "the kill came too late to interrupt anything";

  ASSERT_TRUE(server.restart()) << server.output();
  expectAllReadable(server, "org/kill/", acked.values, streamValue);
  expectIntactDatabase(server.dataDir() + "/vault.db");
  EXPECT_EQ(modeOf(server.dataDir() + "/vault.db"), 0600);
}

// A small tmpfs mounted over the data directory for the scope; unmounted lazily after.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& dir, const std::string& size) : dir_(dir) {
    for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
      ::mkdir(dir.substr(0, slash).c_str(), 0700);
    }
    ::mkdir(dir.c_str(), 0700);
    std::string options = "size=" + size + ",mode=0700";
    mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

std::string bigValue(const std::string& key) {
  return key + ":" + std::string(40000, 'x');
}

TEST(FullDiskTest, WritesFailClearlyAndNothingStoredIsLost) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
  CaskeldProcess server;
  SmallFileSystem disk(server.dataDir(), "2m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  ASSERT_TRUE(server.start()) << server.output();

  std::map<std::string, std::string> acked;
  for (int k = 0; k < 5; ++k) {
    std::string key = "org/full/SEED" + std::to_string(k);
    ASSERT_EQ(set(server, key, bigValue(key))["ok"], true);
    acked[key] = bigValue(key);
  }
  ASSERT_EQ(server.request({{"cmd", "unlock"}, {"prefix", "org/full"}})["ok"], true);
  json refusal;
  for (int n = 0; n < 200 && refusal.is_null(); ++n) {
    std::string key = "org/full/K" + std::to_string(n);
    json reply = set(server, key, bigValue(key));
    ASSERT_TRUE(reply.is_object()) << "no reply once the disk filled up";
    if (reply["ok"] == true) {
      acked[key] = bigValue(key);
    } else {
      refusal = reply;
    }
  }
  ASSERT_FALSE(refusal.is_null()) << "2 MiB never filled up";
  EXPECT_EQ(refusal["ok"], false);
  ASSERT_TRUE(refusal["error"].is_string());
  EXPECT_EQ(refusal["error"].get<std::string>().rfind("Vault error (", 0), 0u) << refusal.dump();

  // Still serving, and what was stored is still readable from the file, not just the cache.
  EXPECT_TRUE(server.running());
  EXPECT_EQ(server.request({{"cmd", "version"}})["ok"], true);
  EXPECT_NE(set(server, "org/full/AFTER", bigValue("org/full/AFTER"))["ok"], true);
  ASSERT_EQ(server.request({{"cmd", "lock"}})["ok"], true);
  expectAllReadable(server, "org/full/", acked, bigValue);

  // And after a restart on the same full disk.
  ASSERT_TRUE(server.restart(SIGTERM)) << server.output();
  expectAllReadable(server, "org/full/", acked, bigValue);
}

// ---- damaged files

// Garbage, a cut-off copy, the wrong shape, and things that are not files at all.
struct Damage {
  std::string name;
  std::function<void(const std::string& path)> apply;
};

std::vector<Damage> jsonDamages(const std::string& wellFormed, const std::string& wrongShape) {
  return {
      {"garbage",
       [](const std::string& p) { writeText(p, std::string("\x00\xff\xfe{{\"\x01", 7) + "not json"); }},
      {"truncated", [=](const std::string& p) { writeText(p, wellFormed.substr(0, wellFormed.size() / 2)); }},
      {"wrong shape", [=](const std::string& p) { writeText(p, wrongShape); }},
      {"empty", [](const std::string& p) { writeText(p, ""); }},
      {"directory", [](const std::string& p) { ::mkdir(p.c_str(), 0700); }},
      {"endless", [](const std::string& p) { ASSERT_EQ(::symlink("/dev/zero", p.c_str()), 0); }},
      {"fifo", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
  };
}

void prepareConfigDir(const CaskeldProcess& server) {
  ::mkdir((server.home() + "/.config").c_str(), 0700);
  ::mkdir(server.configDir().c_str(), 0700);
}

TEST(DamagedFileTest, SessionConfigFallsBackToDefaultTimeouts) {
  const std::string good = R"({"timeouts": {"org/proj/": 7200, "org/other/": 60}})";
  for (const auto& damage : jsonDamages(good, R"({"timeouts": {"org/proj/": "two hours"}})")) {
    SCOPED_TRACE(damage.name);
    CaskeldProcess server;
    prepareConfigDir(server);
    damage.apply(server.configDir() + "/config.json");
    ASSERT_TRUE(server.start()) << server.output();
    json listing = server.request({{"cmd", "config"}});
    EXPECT_EQ(listing["default_timeout"], 14400);
    EXPECT_TRUE(listing["timeouts"].empty()) << listing.dump();
    // The time-out set now is in force whether or not the file can take it.
    ASSERT_EQ(
        server.request({{"cmd", "config"}, {"action", "set"}, {"prefix", "org/x"}, {"timeout", 600}})["ok"],
        true);
    EXPECT_EQ(server.request({{"cmd", "config"}})["timeouts"][0]["timeout"], 600);
    EXPECT_TRUE(server.running());
  }
}

TEST(DamagedFileTest, DefaultsFallBackToBuiltInValues) {
  const std::string good = R"({"caskel.auditLogEnabled": true})";
  for (const auto& damage : jsonDamages(good, R"(["caskel.auditLogEnabled", true])")) {
    SCOPED_TRACE(damage.name);
    CaskeldProcess::Options options;
    options.auditEnabled = false;
    CaskeldProcess server(options);
    prepareConfigDir(server);
    damage.apply(server.configDir() + "/defaults.json");
    ASSERT_TRUE(server.start()) << server.output();
    EXPECT_EQ(set(server, "org/d/K", "v")["ok"], true);
    EXPECT_EQ(server.request({{"cmd", "get"}, {"account", "org/d/K"}})["value"], "v");
    EXPECT_EQ(server.request({{"cmd", "config"}})["default_timeout"], 14400);
    // Audit is off by default: no log appears.
    EXPECT_EQ(modeOf(server.configDir() + "/audit.log"), -1);
    EXPECT_TRUE(server.running());
  }
}

TEST(DamagedFileTest, KnownCallersAreForgottenAndRewrittenNeverFatal) {
  const std::string self = selfPath();
  const std::string good = json{{self, {{"firstSeen", 700000000.5}, {"path", self}}}}.dump();
  for (const auto& damage :
       jsonDamages(good, json{{self, {{"firstSeen", "yesterday"}, {"path", self}}}}.dump())) {
    SCOPED_TRACE(damage.name);
    CaskeldProcess server;
    const std::string path = server.configDir() + "/known_callers.json";
    damage.apply(path);
    ASSERT_TRUE(server.start()) << server.output();
    EXPECT_EQ(server.request({{"cmd", "version"}})["ok"], true);
    // Treated as empty: this test is a new caller again, and a regular file is replaced.
    EXPECT_TRUE(server.waitForAudit({"NEW_CALLER", self}));
    if (damage.name != "directory") {
      json rewritten = json::parse(readText(path), nullptr, false);
      ASSERT_TRUE(rewritten.is_object()) << readText(path).substr(0, 100);
      EXPECT_EQ(rewritten[self]["path"], self);
    }
    EXPECT_TRUE(server.running());
  }
}

// A vault with a few items, cleanly closed: its bytes, for damaging copies.
std::string sampleVault() {
  CaskeldProcess server;
  if (!server.start()) return {};
  for (int k = 0; k < 30; ++k) set(server, "org/v/K" + std::to_string(k), std::string(300, 'v'));
  server.stop();
  return readText(server.dataDir() + "/vault.db");
}

TEST(DamagedFileTest, DamagedVaultGivesErrorsAndIsNeverReplaced) {
  const std::string vault = sampleVault();
  ASSERT_GT(vault.size(), 8192u);
  std::string garbage(16384, '\0');
  std::mt19937 random(7);
  for (char& c : garbage) c = static_cast<char>(random());
  std::string flipped = vault;
  for (size_t i = 4096; i < flipped.size(); i += 7) flipped[i] = static_cast<char>(~flipped[i]);
  const std::vector<std::pair<std::string, std::string>> damages = {
      {"garbage", garbage},
      {"header only", vault.substr(0, 100)},
      {"first page only", vault.substr(0, 4096)},
      {"cut in half", vault.substr(0, vault.size() / 2)},
      {"pages overwritten", flipped},
  };
  for (const auto& [name, bytes] : damages) {
    SCOPED_TRACE(name);
    CaskeldProcess server;
    ::mkdir((server.home() + "/.local").c_str(), 0700);
    ::mkdir((server.home() + "/.local/share").c_str(), 0700);
    ::mkdir(server.dataDir().c_str(), 0700);
    const std::string path = server.dataDir() + "/vault.db";
    writeText(path, bytes);
    ::chmod(path.c_str(), 0600);
    ASSERT_TRUE(server.start()) << server.output();

    json stored = set(server, "org/v/NEW", "new value");
    EXPECT_NE(stored["ok"], true) << stored.dump();
    EXPECT_TRUE(stored["error"].is_string());
    json read = server.request({{"cmd", "get"}, {"account", "org/v/K1"}});
    EXPECT_NE(read["ok"], true) << read.dump();
    EXPECT_TRUE(read["error"].is_string());
    // A listing that cannot be read is an empty one.
    json listing = server.request({{"cmd", "ls"}});
    EXPECT_EQ(listing["ok"], true) << listing.dump();
    EXPECT_TRUE(listing["accounts"].empty());
    EXPECT_EQ(server.request({{"cmd", "version"}})["ok"], true);
    EXPECT_TRUE(server.running());
    // The user's damaged vault may still be recoverable: nothing may write over it, and no
    // prompt may pretend to create a new one in its place.
    EXPECT_EQ(readText(path), bytes);
    EXPECT_EQ(server.pinentry().promptCount(), 0) << server.pinentry().descriptions().front();
  }
}

// ---- memory of the running server

struct ProbeResult {
  int attach = 0;  // errno of PTRACE_SEIZE, 0 when it succeeded
  int memory = 0;  // errno of opening /proc/PID/mem
  int vmRead = 0;  // errno of process_vm_readv
};

long probeTarget = 0;

bool dropCapabilitiesOfThisThread() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  return ::syscall(SYS_capset, &header, data) == 0;
}

// Tries to reach `pid`'s memory from a thread of this process that holds no capabilities:
// capabilities belong to a thread, so dropping them there takes root's CAP_SYS_PTRACE away
// from the probe alone. A tracee is released when the thread that seized it ends.
std::optional<ProbeResult> probeWithoutCapabilities(pid_t pid) {
  std::optional<ProbeResult> result;
  std::thread prober([&] {
    if (!dropCapabilitiesOfThisThread()) return;
    ProbeResult r;
    r.attach = ::ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) == 0 ? 0 : errno;
    int fd = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    r.memory = fd >= 0 ? 0 : errno;
    if (fd >= 0) ::close(fd);
    long copy = 0;
    iovec local{&copy, sizeof copy};
    iovec remote{&probeTarget, sizeof probeTarget};
    r.vmRead = ::process_vm_readv(pid, &local, 1, &remote, 1, 0) == sizeof copy ? 0 : errno;
    result = r;
  });
  prober.join();
  return result;
}

TEST(HardeningTest, AProcessOfTheSameUserCannotReadTheServersMemory) {
  // Root without capabilities stands for an ordinary user: the server gets none either, or the
  // probe would be refused merely for holding fewer capabilities than its target.
  CaskeldProcess::Options options;
  if (::getuid() == 0)
    options.launcher = {"setpriv", "--bounding-set=-all", "--inh-caps=-all", "--ambient-caps=-all"};
  // The control: an ordinary process in the same position, which the same probe can read.
  pid_t control = ::fork();
  if (control == 0) {
    dropCapabilitiesOfThisThread();
    for (;;) ::pause();
  }
  ASSERT_GT(control, 0);
  std::optional<ProbeResult> open = probeWithoutCapabilities(control);
  ::kill(control, SIGKILL);
  ::waitpid(control, nullptr, 0);
  if (!open) GTEST_SKIP() << "cannot drop capabilities on a thread here";
  if (open->attach != 0 || open->memory != 0 || open->vmRead != 0) {
    GTEST_SKIP() << "this system refuses the probe even against an ordinary process (errno " << open->attach
                 << ", " << open->memory << ", " << open->vmRead << ")";
  }

  CaskeldProcess server(options);
  ASSERT_TRUE(server.start()) << server.output();
  EXPECT_NE(readText("/proc/" + std::to_string(server.pid()) + "/status").find("CapPrm:\t0000000000000000"),
            std::string::npos);
  std::optional<ProbeResult> refused = probeWithoutCapabilities(server.pid());
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->attach, EPERM);
  EXPECT_EQ(refused->memory, EACCES);
  EXPECT_EQ(refused->vmRead, EPERM);
  EXPECT_TRUE(server.running());
  // Asked by a caller as unprivileged as the server: one with more capabilities than the server
  // could not even be identified, since its /proc entries are closed to the server.
  std::vector<std::string> client = options.launcher;
  client.push_back(CaskeldProcess::rawClientPath());
  auto reply = nlohmann::json::parse(server.requestFrom(client, {{"cmd", "version"}}), nullptr, false);
  EXPECT_EQ(reply["ok"], true) << reply;
}

}  // namespace
}  // namespace caskel::test
