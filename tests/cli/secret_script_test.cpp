// What `get` leaves behind: the self-deleting script, and helper processes whose memory holds
// no value.
#include "cli/secret_script.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "base/shell_text.h"
#include "cli/cli_platform.h"
#include "fake_server.h"

namespace caskel::cli {
namespace {

using test::TempDir;

class SecretScriptTest : public ::testing::Test {
 protected:
  TempDir runtime_;
  test::ScopedEnv xdg_{"XDG_RUNTIME_DIR", runtime_.path()};
};

// The encrypted script sets awkward values through its fragment, which the server's hand-off test
// sources for each; the end-to-end agent "get" sources the script itself and finds no value in it.
TEST_F(SecretScriptTest, PlainScriptsSetTheExactValueAndRemoveThemselves) {
  for (const std::string value :
       {"plain", "", "it's 'single' and \"double\"", "line1\nline2\n", "$HOME $(id) `id` ${X:-y}",
        "back\\slash\\", "trailing newlines\n\n", " spaced ", "'", "'\\''"}) {
    SCOPED_TRACE(value);
    std::string error;
    auto path = SecretScript().write(
        [&](const std::string& p) { return SecretScript::plainText(p, "MY_KEY", value); }, error);
    ASSERT_TRUE(path) << error;
    const std::string command = "bash -c 'source \"$0\" && printf %s \"$MY_KEY\" > \"$1\"' " +
                                shellSingleQuote(*path) + " " + shellSingleQuote(runtime_.file("value"));
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(test::readText(runtime_.file("value")), value);
    EXPECT_FALSE(pathExists(*path));
  }
}

TEST_F(SecretScriptTest, NarrowsAWideDirectoryAndRefusesALink) {
  const std::string dir = runtime_.path() + "/caskel";
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
  std::string error;
  ASSERT_TRUE(SecretScript().write([](const std::string&) { return std::string("x"); }, error));
  EXPECT_EQ(test::modeOf(dir), 0700);

  TempDir elsewhere;
  const std::string link = runtime_.path() + "/link";
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), link.c_str()), 0);
  EXPECT_FALSE(ensurePrivateDir(link, error));
}

std::string randomDigits() {
  return std::to_string(std::random_device{}()) + std::to_string(std::random_device{}());
}

// Live processes whose parent is this one.
std::vector<pid_t> ourChildren() {
  std::vector<pid_t> found;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    const std::string pid = e.path().filename();
    const std::string stat = std::isdigit(pid[0]) ? test::readText(e.path().string() + "/stat") : "";
    const size_t close = stat.rfind(") ");
    char state = 0;
    int parent = 0;
    if (close != std::string::npos && std::sscanf(stat.c_str() + close + 2, "%c %d", &state, &parent) == 2 &&
        parent == ::getpid() && state != 'Z') {
      found.push_back(std::stoi(pid));
    }
  }
  return found;
}

// Whether a readable mapping of the process holds `needle`; huge mappings (a sanitizer's
// shadow) are reserved address space, not data.
bool memoryHolds(pid_t pid, const std::string& needle) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  int mem = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  std::string line, region;
  bool found = false;
  while (mem >= 0 && !found && std::getline(maps, line)) {
    unsigned long start = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 || perms[0] != 'r' ||
        end - start > (256ul << 20)) {
      continue;
    }
    region.assign(end - start, '\0');
    ssize_t n = ::pread(mem, region.data(), region.size(), static_cast<off_t>(start));
    found = n > 0 && region.find(needle) < static_cast<size_t>(n);
  }
  if (mem >= 0) ::close(mem);
  return found;
}

// The background helpers of `get` run the tool's code without exec, in a copy of its memory:
// that copy must never hold the value the tool fetched.
TEST(BackgroundHelpers, NeitherTheScriptRemoverNorTheClipboardClearerHoldsTheValue) {
  // Helpers detach from the tool; as a subreaper this process becomes their parent.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0);
  test::TempDir dir;
  test::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
  test::ScopedEnv copy("CASKEL_CLIPBOARD_COPY", "cat > " + shellSingleQuote(dir.file("clip")));
  test::ScopedEnv paste("CASKEL_CLIPBOARD_PASTE", "cat " + shellSingleQuote(dir.file("clip")));
  // The value exists nowhere until the server's thread makes it up for the reply.
  std::mutex mutex;
  std::string value;
  test::FakeServer server([&](const nlohmann::json&) -> nlohmann::json {
    std::lock_guard lock(mutex);
    value = "fetched-" + randomDigits();
    return {{"ok", true}, {"value", value}};
  });
  for (const char* flag : {"--copy", "--plain"}) {
    // Made before the run, so the helper's copy holds it: proof that the scan sees its memory.
    const std::string key = "acme/api/PROBE_" + randomDigits();
    auto run = test::runTool(flag == std::string("--copy") ? std::vector<std::string>{"get", key, flag}
                                                           : std::vector<std::string>{"get", key});
    ASSERT_EQ(run.code, 0) << run.err;
    std::vector<pid_t> helpers = ourChildren();
    ASSERT_EQ(helpers.size(), 1u) << flag;
    EXPECT_TRUE(memoryHolds(helpers[0], key)) << flag;
    std::lock_guard lock(mutex);
    EXPECT_FALSE(memoryHolds(helpers[0], value)) << flag;
    ::kill(helpers[0], SIGKILL);
    ::waitpid(helpers[0], nullptr, 0);
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
}

}  // namespace
}  // namespace caskel::cli
