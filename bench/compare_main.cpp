// Side-by-side figures for Caskel and what a Linux developer would use instead, measured in
// one run on this machine: whole-process latency of one secret read, server throughput under
// concurrent clients, the cost of caller identification, and memory. Prints one table.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "server/caller_info.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;

std::string buildDir;

std::string dirOf(const std::string& p) { return p.substr(0, p.find_last_of('/')); }

bool exists(const std::string& p) { return ::access(p.c_str(), X_OK) == 0; }

std::string which(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream ss(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(ss, dir, ':')) {
    if (exists(dir + "/" + name)) return dir + "/" + name;
  }
  return {};
}

struct Spawned {
  pid_t pid = -1;
  int out = -1;
};

Spawned spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool captureOut,
              bool quiet = true) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  int pipeFds[2] = {-1, -1};
  if (captureOut) {
    if (::pipe(pipeFds) != 0) return {};
    posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&fa, pipeFds[0]);
  } else if (quiet) {
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  }
  if (quiet) posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args, envp;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  Spawned s;
  if (posix_spawn(&s.pid, args[0], &fa, nullptr, args.data(), envp.data()) != 0) s.pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  if (captureOut) {
    ::close(pipeFds[1]);
    s.out = pipeFds[0];
  }
  return s;
}

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    auto eq = s.find('=');
    if (eq != std::string::npos) env[s.substr(0, eq)] = s.substr(eq + 1);
  }
  for (auto& [k, v] : extra) env[k] = v;
  std::vector<std::string> out;
  for (auto& [k, v] : env) out.push_back(k + "=" + v);
  return out;
}

std::string readLine(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

// One request over the socket from this process.
std::string request(const std::string& socketPath, const std::string& body) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return {};
  }
  ::send(fd, body.data(), body.size(), MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  std::string reply;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) reply.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return reply;
}

struct Stats {
  double median = 0, min = 0, max = 0, p99 = 0;
  long maxRssKb = 0;
  int failures = 0;
};

Stats summarize(std::vector<double> us) {
  Stats s;
  if (us.empty()) return s;
  std::sort(us.begin(), us.end());
  s.median = us[us.size() / 2];
  s.min = us.front();
  s.max = us.back();
  s.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  return s;
}

struct Peer {
  Peer(std::string n, std::vector<std::string> a, std::vector<std::string> e)
      : name(std::move(n)), argv(std::move(a)), env(std::move(e)) {}
  std::string name;
  std::vector<std::string> argv;
  std::vector<std::string> env;
  std::vector<double> samples;
  long maxRss = 0;
  int failures = 0;
  int allowedExit = 0;  // ssh-add -l exits 1 when the agent holds no key
};

// Runs every peer `rounds` times, round-robin, so that all share the same machine state.
void measureProcesses(std::vector<Peer>& peers, int rounds) {
  for (int r = 0; r < rounds; ++r) {
    for (auto& p : peers) {
      auto t0 = Clock::now();
      Spawned s = spawn(p.argv, p.env, false);
      if (s.pid < 0) {
        ++p.failures;
        continue;
      }
      int status = 0;
      ::waitpid(s.pid, &status, 0);
      auto t1 = Clock::now();
      if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != p.allowedExit)) ++p.failures;
      p.samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
  }
  // Peak memory, measured through the small launcher (see rss_launcher.c).
  std::string rssFile = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/caskel-bench-rss." +
                        std::to_string(::getpid());
  for (auto& p : peers) {
    for (int i = 0; i < 5; ++i) {
      std::vector<std::string> argv = {buildDir + "/bench/rss_launcher"};
      argv.insert(argv.end(), p.argv.begin(), p.argv.end());
      std::vector<std::string> env = p.env;
      env.push_back("RSS_OUT=" + rssFile);
      Spawned s = spawn(argv, env, false);
      if (s.pid < 0) continue;
      ::waitpid(s.pid, nullptr, 0);
      std::ifstream in(rssFile);
      long kb = 0;
      if (in >> kb) p.maxRss = std::max(p.maxRss, kb);
    }
  }
  ::unlink(rssFile.c_str());
}

struct Load {
  double rps = 0, p50 = 0, p99 = 0;
  int errors = 0;
};

// `clients` threads of this process, each sending `body` in a loop for `seconds`.
Load measureServer(const std::string& socketPath, const std::string& body, int clients, double seconds,
                   const std::string& expect) {
  std::vector<std::vector<double>> lat(static_cast<size_t>(clients));
  std::atomic<int> errors{0};
  auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> threads;
  auto start = Clock::now();
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      while (Clock::now() < until) {
        auto t0 = Clock::now();
        std::string reply = request(socketPath, body);
        auto t1 = Clock::now();
        if (reply.find(expect) == std::string::npos) ++errors;
        lat[static_cast<size_t>(c)].push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
      }
    });
  }
  for (auto& t : threads) t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (auto& l : lat) all.insert(all.end(), l.begin(), l.end());
  Stats s = summarize(all);
  return Load{static_cast<double>(all.size()) / elapsed, s.median, s.p99, errors.load()};
}

long statusKb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  }
  return -1;
}

void row(const std::string& name, const Stats& s, double floor, const std::string& note = "") {
  std::printf("  %-34s %9.0f %9.0f %9.0f %8.2fx %8ld  %s\n", name.c_str(), s.median, s.min, s.max,
              floor > 0 ? s.median / floor : 0.0, s.maxRssKb, note.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  double loadSeconds = argc > 2 ? std::atof(argv[2]) : 2.0;
  ::signal(SIGPIPE, SIG_IGN);
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  self[n > 0 ? n : 0] = 0;
  buildDir = dirOf(dirOf(self));
  std::string caskeld = buildDir + "/src/caskeld";
  std::string caskel = buildDir + "/src/caskel";
  std::string pinentry = buildDir + "/tests/scripted_pinentry";
  char tmpl[] = "/tmp/caskel-bench-XXXXXX";
  std::string tmp = ::mkdtemp(tmpl);

  // The floor server.
  std::string floorSock = tmp + "/floor.sock";
  Spawned floorServer = spawn({buildDir + "/bench/floor_server", floorSock, "16"}, environmentWith({}), true);
  readLine(floorServer.out);

  // caskeld with a cached key: this process unlocks the folder; `caskel` is a wrapper, so each
  // tool process resolves to this process and is served from the session.
  std::string home = tmp + "/home";
  ::mkdir(home.c_str(), 0700);
  std::string sock = tmp + "/sock/caskel.sock";
  std::map<std::string, std::string> serverEnv = {{"HOME", home},
                                                  {"CASKEL_PINENTRY", pinentry},
                                                  {"SCRIPTED_PINENTRY_ANSWERS", tmp + "/answers"},
                                                  {"SCRIPTED_PINENTRY_LOG", tmp + "/prompts"},
                                                  {"SCRIPTED_PINENTRY_DEFAULT", "PIN bench passphrase"}};
  Spawned server = spawn({caskeld, "--socket", sock}, environmentWith(serverEnv), true);
  readLine(server.out);
  ::usleep(100000);
  long idleRss = statusKb(server.pid, "VmRSS:");
  request(sock, R"({"cmd":"set","account":"bench/floor/KEY","value":"sk-bench-0123456789abcdef"})");
  request(sock, R"({"cmd":"unlock","prefix":"bench/floor/"})");

  std::vector<Peer> peers;
  peers.push_back(Peer("floor: C client + trivial server", std::vector<std::string>{buildDir + "/bench/floor_client", floorSock}, environmentWith({})));
  peers.push_back(Peer("/bin/true", std::vector<std::string>{"/bin/true"}, environmentWith({})));
  if (exists(caskel)) {
    peers.push_back(Peer("caskel get --raw (cached)", std::vector<std::string>{caskel, "get", "bench/floor/KEY", "--raw"},
                     environmentWith({{"CASKEL_SOCKET", sock}, {"HOME", home}})));
  }
  // ssh-agent, when installed.
  std::string sshAgent = which("ssh-agent"), sshAdd = which("ssh-add");
  pid_t agentPid = -1;
  if (!sshAgent.empty() && !sshAdd.empty()) {
    std::string agentSock = tmp + "/ssh-agent.sock";
    Spawned agent = spawn({sshAgent, "-D", "-a", agentSock}, environmentWith({}), false);
    agentPid = agent.pid;
    for (int i = 0; i < 100 && ::access(agentSock.c_str(), F_OK) != 0; ++i) ::usleep(10000);
    peers.push_back(Peer("ssh-add -l (fresh ssh-agent)", std::vector<std::string>{sshAdd, "-l"},
                         environmentWith({{"SSH_AUTH_SOCK", agentSock}})));
    peers.back().allowedExit = 1;
  }
  // secret-tool against gnome-keyring-daemon inside its own D-Bus session, when installed.
  std::string dbusRun = which("dbus-run-session"), keyring = which("gnome-keyring-daemon"), secretTool = which("secret-tool");
  bool haveSecretTool = !dbusRun.empty() && !keyring.empty() && !secretTool.empty();

  measureProcesses(peers, rounds);
  double floor = summarize(peers[0].samples).median;

  std::optional<Stats> secretToolStats;
  if (haveSecretTool) {
    // One session runs the daemon, stores an item, then times `rounds` lookups itself.
    std::string script =
        "eval \"$(printf 'bench-password' | gnome-keyring-daemon --unlock --components=secrets 2>/dev/null)\"; "
        "printf 'v' | secret-tool store --label=bench service bench key k >/dev/null 2>&1 || exit 3; "
        "for i in $(seq " + std::to_string(rounds) + "); do "
        "s=$(date +%s%N); secret-tool lookup service bench key k >/dev/null || exit 4; e=$(date +%s%N); "
        "echo $(( (e - s) / 1000 )); done";
    Spawned run = spawn({dbusRun, "--", "sh", "-c", script}, environmentWith({{"HOME", home}}), true);
    std::vector<double> samples;
    std::string line;
    while (!(line = readLine(run.out)).empty()) samples.push_back(std::atof(line.c_str()));
    int status = 0;
    ::waitpid(run.pid, &status, 0);
    if (!samples.empty()) secretToolStats = summarize(samples);
  }

  std::printf("\nWhole process, one secret read (%d runs each, round-robin; microseconds)\n", rounds);
  std::printf("  %-34s %9s %9s %9s %9s %8s\n", "command", "median", "min", "max", "vs floor", "maxRSS KiB");
  for (auto& p : peers) {
    Stats s = summarize(p.samples);
    s.maxRssKb = p.maxRss;
    row(p.name, s, floor, p.failures ? std::to_string(p.failures) + " failed runs" : "");
  }
  if (secretToolStats) {
    row("secret-tool lookup (gnome-keyring)", *secretToolStats, floor, "timed inside its D-Bus session");
  } else {
    std::printf("  %-34s skipped (%s)\n", "secret-tool lookup",
                haveSecretTool ? "gnome-keyring-daemon did not start in a private D-Bus session"
                               : "dbus-run-session, gnome-keyring-daemon or secret-tool missing");
  }

  std::printf("\nServer under load (in-process clients, %.1f s each): requests/s, p50 and p99 in microseconds\n",
              loadSeconds);
  std::printf("  %-34s %8s %10s %9s %9s %7s %9s\n", "request", "clients", "req/s", "p50", "p99", "errors",
              "vs floor");
  // Throughput as a share of the floor server's at the same concurrency, measured just before.
  std::map<int, double> floorRps;
  auto load = [&](const std::string& name, const std::string& path, const std::string& body, const std::string& expect) {
    for (int c : {1, 4, 16}) {
      Load l = measureServer(path, body, c, loadSeconds, expect);
      if (!floorRps.count(c)) floorRps[c] = l.rps;
      std::printf("  %-34s %8d %10.0f %9.0f %9.0f %7d %8.2fx\n", name.c_str(), c, l.rps, l.p50, l.p99, l.errors,
                  floorRps[c] > 0 ? l.rps / floorRps[c] : 0.0);
    }
  };
  load("floor server (trivial reply)", floorSock, R"({"cmd":"get","account":"bench/floor/KEY"})", "floor-value");
  load("caskeld get (cached)", sock, R"({"cmd":"get","account":"bench/floor/KEY"})", "sk-bench");
  load("caskeld version", sock, R"({"cmd":"version"})", "\"ok\":true");
  for (int keys : {100, 10000}) {
    // Seed from this process, which holds the session for the folder: no prompts.
    request(sock, R"({"cmd":"unlock","prefix":"bench/many/"})");
    static int seeded = 0;
    for (; seeded < keys; ++seeded) {
      request(sock, json{{"cmd", "set"}, {"account", "bench/many/K" + std::to_string(seeded)}, {"value", "v"}}.dump());
    }
    load("caskeld ls (" + std::to_string(keys) + " keys)", sock, R"({"cmd":"ls"})", "\"ok\":true");
  }
  long loadedRss = statusKb(server.pid, "VmHWM:");

  // Caller identification alone: the process walk of this very process.
  caskel::CallerIdentifier callers(caskel::ProcessInfo::system(), tmp + "/known.json", home);
  callers.identifyPid(::getpid());
  auto t0 = Clock::now();
  int iterations = 2000;
  for (int i = 0; i < iterations; ++i) callers.identifyPid(::getpid());
  double identifyUs = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / iterations;

  // And of processes it has never seen, as each `caskel` run is: children waiting in `cat`.
  std::vector<pid_t> fresh;
  int hold[2];
  if (::pipe(hold) == 0) {
    for (int i = 0; i < 200; ++i) {
      posix_spawn_file_actions_t fa;
      posix_spawn_file_actions_init(&fa);
      posix_spawn_file_actions_adddup2(&fa, hold[0], 0);
      posix_spawn_file_actions_addclose(&fa, hold[1]);
      pid_t pid = -1;
      char cat[] = "/bin/cat";
      char* args[] = {cat, nullptr};
      if (posix_spawn(&pid, cat, &fa, nullptr, args, environ) == 0) fresh.push_back(pid);
      posix_spawn_file_actions_destroy(&fa);
    }
    ::close(hold[0]);
  }
  t0 = Clock::now();
  for (pid_t pid : fresh) callers.identifyPid(pid);
  double freshUs = fresh.empty() ? 0.0
                                 : std::chrono::duration<double, std::micro>(Clock::now() - t0).count() /
                                       static_cast<double>(fresh.size());
  ::close(hold[1]);
  for (pid_t pid : fresh) ::waitpid(pid, nullptr, 0);

  std::printf("\nCaller identification (process walk, same process): %.1f us per connection\n", identifyUs);
  std::printf("Caller identification of a process not seen before: %.1f us per connection\n", freshUs);
  std::printf("caskeld memory: idle RSS %ld KiB, peak RSS after the load above %ld KiB\n", idleRss, loadedRss);

  ::kill(server.pid, SIGTERM);
  ::waitpid(server.pid, nullptr, 0);
  ::kill(floorServer.pid, SIGTERM);
  ::waitpid(floorServer.pid, nullptr, 0);
  if (agentPid > 0) {
    ::kill(agentPid, SIGTERM);
    ::waitpid(agentPid, nullptr, 0);
  }
  std::string cleanup = "rm -rf '" + tmp + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 0;
}
