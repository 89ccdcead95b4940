// caskel-app as a user starts it: offscreen, in a temporary HOME, hosting the server.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

class DesktopAppTest : public ::testing::Test {
 protected:
  bool traceHas(const std::string& line) {
    return waitUntil([&] { return has(readText(trace), line + "\n"); }, io.path());
  }
  // The value of the trace's first line that starts with `prefix`.
  std::string traced(const std::string& prefix) {
    std::string text = readText(trace);
    auto at = text.find(prefix);
    return at == std::string::npos
               ? ""
               : text.substr(at + prefix.size(), text.find('\n', at) - at - prefix.size());
  }
  static bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
  }

  TempDir io;
  const std::string trace = io.file("trace");
  CaskeldProcess app{[this](CaskeldProcess::Options& o) {
    o.desktopProgram = buildPath("src/caskel-app");
    o.extraArgs = {"--trace", trace};
  }};
};

// The window's model follows what the tool stores; a second start leaves the socket to the
// first and ends; quitting removes the socket and the share directory. A program socket left
// behind by a crash does not keep the program from starting.
TEST_F(DesktopAppTest, HostsTheServerForTheToolUntilItQuits) {
  ASSERT_EQ(::mkdir(app.socketDir().c_str(), 0700), 0);
  int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/caskel-app.sock", app.socketDir().c_str());
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(stale);

  ASSERT_TRUE(app.start()) << app.output();
  ASSERT_TRUE(traceHas("server: listening"));
  EXPECT_TRUE(traceHas("onboarding: shown")) << "a first start opens the set-up window";
  const std::string shareDir = traced("share-dir: ");
  ASSERT_TRUE(exists(shareDir)) << shareDir;

  RunOptions tool{"value-1\n", app.environment(), {}};
  ASSERT_EQ(runProcess({buildPath("src/caskel"), "set", "acme/api/KEY"}, tool).code, 0);
  EXPECT_TRUE(traceHas("accounts: acme/api/KEY")) << readText(trace);

  ProcessResult second =
      runProcess({buildPath("src/caskel-app"), "--trace", io.file("second")}, {"", app.environment(), {}});
  EXPECT_EQ(second.code, 0) << second.out << second.err;
  EXPECT_FALSE(exists(io.file("second"))) << "the second start went on";
  EXPECT_TRUE(app.running());
  EXPECT_EQ(app.request({{"cmd", "version"}})["ok"], true);

  EXPECT_EQ(app.stop(SIGTERM), 0);
  EXPECT_FALSE(exists(app.socketPath()));
  EXPECT_FALSE(exists(shareDir));
}

// A copy of the program notices its executable replaced within the interval it was given.
TEST_F(DesktopAppTest, ReplacedExecutableRaisesTheUpdateAlert) {
  TempDir bin;
  const std::string copy = copyProgram(bin.path(), buildPath("src/caskel-app"), "caskel-app");
  CaskeldProcess copied{[&](CaskeldProcess::Options& o) {
    o.desktopProgram = copy;
    o.extraArgs = {"--trace", trace, "--update-interval", "0.2"};
  }};
  ASSERT_TRUE(copied.start()) << copied.output();
  ASSERT_TRUE(traceHas("server: listening"));
  // Installed the way a package manager does: a new file renamed over the old one.
  const std::string next = copyProgram(bin.path(), buildPath("src/caskel-app"), "next/caskel-app");
  ASSERT_EQ(std::rename(next.c_str(), copy.c_str()), 0);
  EXPECT_TRUE(traceHas("alert: Caskel Updated")) << readText(trace);
}

// The toggle command reaches the running program, which opens and closes its panel; without
// one, the command starts the program with the panel open. Offscreen there is no shortcut
// mechanism: the command is the way in.
TEST_F(DesktopAppTest, ToggleCommandTogglesTheRunningProgramsPanel) {
  CaskeldProcess first{[&](CaskeldProcess::Options& o) {
    o.desktopProgram = buildPath("src/caskel-app");
    o.extraArgs = {"--trace", trace, "--toggle-quick-access"};
  }};
  ASSERT_TRUE(first.start()) << first.output();
  EXPECT_TRUE(traceHas("quick-access: shown"));
  const RunOptions env{"", first.environment(), {}};
  const std::vector<std::string> toggle = {buildPath("src/caskel-app"), "--toggle-quick-access"};
  ProcessResult second = runProcess(toggle, env);
  EXPECT_EQ(second.code, 0) << second.out << second.err;
  EXPECT_TRUE(traceHas("quick-access: hidden"));
  EXPECT_EQ(runProcess(toggle, env).code, 0);
  EXPECT_TRUE(waitUntil(
      [&] {
        const std::string text = readText(trace);
        return text.rfind("quick-access: shown") > text.find("quick-access: hidden");
      },
      io.path()))
      << readText(trace);
}

}  // namespace
}  // namespace caskel::test
