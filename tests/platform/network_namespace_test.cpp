#include "platform/network_namespace.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/file_system.h"

namespace caskel {
namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::set<std::string> devices(const std::string& netDev) {
  std::set<std::string> names;
  std::istringstream in(netDev);
  for (std::string line; std::getline(in, line);) {
    auto colon = line.find(':');
    if (line.find('|') != std::string::npos || colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    names.insert(name.substr(name.find_first_not_of(' ')));
  }
  return names;
}

struct ChildReport {
  std::string stdoutText;  // what the child printed (the "Caskel: " line)
  std::string report;      // what it wrote to the report pipe
};

// Runs `body` in a forked child (one thread, as the namespace needs) after entering the
// namespace with `obstacle`; the child's report is whatever `body` returns.
ChildReport inChild(const std::string& obstacle, const std::function<std::string(bool entered)>& body,
                    const std::function<void()>& before = {}) {
  int out[2], report[2];
  EXPECT_EQ(::pipe(out), 0);
  EXPECT_EQ(::pipe(report), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(report[0]);
    if (before) before();
    bool entered = enterNetworkNamespace(obstacle);
    std::string text = body(entered);
    ssize_t ignored = ::write(report[1], text.data(), text.size());
    (void)ignored;
    std::fflush(stdout);
    ::_exit(0);
  }
  ::close(out[1]);
  ::close(report[1]);
  auto drain = [](int fd) {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return text;
  };
  ChildReport result{"", drain(report[0])};
  result.stdoutText = drain(out[0]);
  ::waitpid(pid, nullptr, 0);
  return result;
}

// An ordinary user enters through a user namespace, holds no capabilities inside, and asks the
// helper outside for /proc links; root with its capabilities needs only the network namespace.
TEST(NetworkNamespace, AChildThatEntersSeesOnlyLoopbackAndStillIdentifiesProcesses) {
  if (devices(readAll("/proc/self/net/dev")).size() < 2) GTEST_SKIP() << "this machine has only loopback already";
  const std::string ownExe = fs::ownExecutablePath().value_or("?");
  auto report = [](bool entered) {
    if (!entered) return std::string("not entered");
    std::string status = readAll("/proc/self/status");
    bool noCaps = status.find("CapEff:\t0000000000000000") != std::string::npos;
    auto exe = readOutside(OutsideRead::executable, ::getpid());
    std::string names;
    for (const auto& d : devices(readAll("/proc/self/net/dev"))) names += d + ";";
    return names + (noCaps ? "nocaps;" : "caps;") + (!exe ? "here" : *exe ? **exe : "failed");
  };
  const bool root = ::getuid() == 0;
  ChildReport ordinary = inChild("", report, [root] {
    if (!root) return;
    // An ordinary user: root here would need CAP_SETFCAP to be mapped.
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    ::prctl(PR_SET_DUMPABLE, 1);
  });
  if (ordinary.report == "not entered") GTEST_SKIP() << "this system refuses the namespace: " << ordinary.stdoutText;
  EXPECT_EQ(ordinary.report, "lo;nocaps;" + ownExe);
  EXPECT_EQ(ordinary.stdoutText, "");
  if (root) {
    EXPECT_EQ(inChild("", report).report, "lo;caps;here");
  }
}

TEST(NetworkNamespace, StaysInTheHostNetworkWhenTurnedOffOrObstructedAndSaysSoOnce) {
  auto hostDevices = devices(readAll("/proc/self/net/dev"));
  auto stays = [&](const std::string& obstacle) {
    return inChild(obstacle, [](bool entered) {
      std::string names;
      for (const auto& d : devices(readAll("/proc/self/net/dev"))) names += d + ";";
      return (entered ? "entered;" : "") + names;
    });
  };
  std::string hostNames;
  for (const auto& d : hostDevices) hostNames += d + ";";

  ChildReport obstructed = stays("the display is reached over the network");
  EXPECT_EQ(obstructed.report, hostNames);
  EXPECT_EQ(obstructed.stdoutText,
            "Caskel: no network namespace of its own (the display is reached over the network); the network is "
            "closed by the seccomp filter alone\n");

  ::setenv(kNoNamespaceVariable, "1", 1);
  ChildReport off = stays("");
  ::unsetenv(kNoNamespaceVariable);
  EXPECT_EQ(off.report, hostNames);
  EXPECT_EQ(off.stdoutText.rfind("Caskel: no network namespace of its own (turned off by CASKEL_NO_NETNS)", 0), 0u)
      << off.stdoutText;
}

TEST(NetworkNamespace, SessionObstacles) {
  const std::set<std::string> sockets = {"/tmp/.X11-unix/X0", "/tmp/.X11-unix/X99"};
  auto exists = [&](const std::string& path) { return sockets.count(path) > 0; };
  const std::string overNetwork = "the display is reached over the network";
  const std::string noSocket = "the X display has no socket file";
  const std::string abstractBus = "the session bus is reached at an abstract or network address";
  const struct {
    const char* display;
    const char* bus;
    std::string expected;
  } cases[] = {
      {"", "", ""},
      {":0", "unix:path=/run/user/1000/bus", ""},
      {":99.0", "unix:path=/tmp/dbus-pyd6jyo0Ed,guid=82087b38", ""},
      {"unix:0", "", ""},
      {"localhost:10.0", "", overNetwork},
      {"remote.example:0", "", overNetwork},
      {":1", "", noSocket},
      {":x", "", noSocket},
      {":0", "unix:abstract=/tmp/dbus-XXXX,guid=1", abstractBus},
      {":0", "tcp:host=localhost,port=1234", abstractBus},
      {":0", "unix:abstract=/tmp/dbus-XXXX;unix:path=/run/user/1000/bus", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(sessionObstacle(c.display, c.bus, exists), c.expected) << c.display << " " << c.bus;
}

}  // namespace
}  // namespace caskel
