#include "platform/network_namespace.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "platform/file_system.h"

namespace caskel {
namespace {

// The device names of /proc/self/net/dev, each followed by ";".
std::string devices() {
  std::ifstream in("/proc/self/net/dev");
  std::string names;
  for (std::string line; std::getline(in, line);) {
    auto colon = line.find(':');
    if (line.find('|') == std::string::npos && colon != std::string::npos)
      names += line.substr(line.find_first_not_of(' '), colon - line.find_first_not_of(' ')) + ";";
  }
  return names;
}

// What a forked child (one thread, as the namespace needs) printed: the "Caskel: " line when it
// stayed out, then what `body` returns.
std::string inChild(const std::function<std::string()>& body, const std::function<void()>& before = {}) {
  int out[2];
  EXPECT_EQ(::pipe(out), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    if (before) before();
    enterNetworkNamespace();
    std::cout << body() << std::flush;
    ::_exit(0);
  }
  ::close(out[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  ::close(out[0]);
  ::waitpid(pid, nullptr, 0);
  return text;
}

// An ordinary user enters through a user namespace, holds no capabilities inside, and asks the
// helper outside for /proc links; root with its capabilities needs only the network namespace.
// Turned off, the child keeps the host's devices and says so.
TEST(NetworkNamespace, AChildThatEntersSeesOnlyLoopbackAndStillIdentifiesProcesses) {
  const std::string host = devices();
  if (host == "lo;") GTEST_SKIP() << "this machine has only loopback already";
  auto report = [] {
    bool noCaps = fs::readFile("/proc/self/status").value_or("").find("CapEff:\t0000000000000000") != std::string::npos;
    auto exe = readOutside(OutsideRead::executable, ::getpid());
    return devices() + (noCaps ? "nocaps;" : "caps;") + (!exe ? "here" : *exe ? **exe : "failed");
  };
  const bool root = ::getuid() == 0;
  std::string ordinary = inChild(report, [root] {
    if (!root) return;
    // An ordinary user: root here would need CAP_SETFCAP to be mapped.
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    ::prctl(PR_SET_DUMPABLE, 1);
  });
  if (ordinary.starts_with("Caskel: ")) GTEST_SKIP() << "this system refuses the namespace: " << ordinary;
  EXPECT_EQ(ordinary, "lo;nocaps;" + fs::ownExecutablePath().value_or("?"));
  if (root) {
    EXPECT_EQ(inChild(report), "lo;caps;here");
  }
  ::setenv(kNoNamespaceVariable, "1", 1);
  EXPECT_EQ(inChild(devices),
            "Caskel: no network namespace of its own (turned off by CASKEL_NO_NETNS); the network is closed by the "
            "seccomp filter alone\n" + host);
  ::unsetenv(kNoNamespaceVariable);
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
      {":0", "unix:path=/run/user/1000/bus", ""},
      {":99.0", "unix:path=/tmp/dbus-pyd6jyo0Ed,guid=82087b38", ""},
      {"localhost:10.0", "", overNetwork},
      {":1", "", noSocket},
      {":0", "unix:abstract=/tmp/dbus-XXXX,guid=1", abstractBus},
      {":0", "tcp:host=localhost,port=1234", abstractBus},
      {":0", "unix:abstract=/tmp/dbus-XXXX;unix:path=/run/user/1000/bus", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(sessionObstacle(c.display, c.bus, exists), c.expected) << c.display << " " << c.bus;
}

}  // namespace
}  // namespace caskel
