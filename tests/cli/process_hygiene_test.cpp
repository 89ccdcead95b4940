// The background helpers of `get` run the tool's code without exec, in a copy of its memory:
// that copy must never hold the value the tool fetched.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/rand.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>

#include "cli/shell_text.h"
#include "fake_server.h"

namespace caskel::cli {
namespace {

using test::FakeServer;
using test::runTool;
using test::ScopedEnv;
using test::TempDir;

std::string randomHex() {
  unsigned char bytes[12];
  RAND_bytes(bytes, sizeof bytes);
  std::string out;
  for (unsigned char b : bytes) {
    out += "0123456789abcdef"[b >> 4];
    out += "0123456789abcdef"[b & 15];
  }
  return out;
}

// The processes whose parent is this one.
std::vector<pid_t> ourChildren() {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  while (struct dirent* e = proc ? ::readdir(proc) : nullptr) {
    pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    std::string stat = test::readText("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(") ");
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::string state;
    pid_t parent = 0;
    fields >> state >> parent;
    if (parent == ::getpid() && state != "Z") found.push_back(pid);
  }
  if (proc) ::closedir(proc);
  return found;
}

// Whether any readable mapping of the process holds `needle`. Huge mappings (a sanitizer's
// shadow memory) are reserved address space, not where our data lives.
bool memoryHolds(pid_t pid, const std::string& needle) {
  constexpr unsigned long kMaxRegion = 256ul << 20;
  constexpr size_t kChunk = 1 << 20;
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  int mem = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (mem < 0) return false;
  std::string line, window;
  bool found = false;
  while (!found && std::getline(maps, line)) {
    unsigned long start = 0, end = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 || perms[0] != 'r' ||
        end - start > kMaxRegion) {
      continue;
    }
    window.clear();
    for (unsigned long at = start; !found && at < end; at += kChunk) {
      // Keep the tail of the previous chunk, so a needle across the boundary is seen.
      if (window.size() > needle.size()) window.erase(0, window.size() - needle.size());
      std::string chunk(std::min<unsigned long>(kChunk, end - at), '\0');
      ssize_t n = ::pread(mem, chunk.data(), chunk.size(), static_cast<off_t>(at));
      if (n <= 0) break;
      window.append(chunk, 0, static_cast<size_t>(n));
      found = window.find(needle) != std::string::npos;
    }
  }
  ::close(mem);
  return found;
}

class BackgroundHelpers : public ::testing::Test {
 protected:
  // Helpers detach from the tool; as a subreaper this process becomes their parent and can
  // find them.
  BackgroundHelpers() { ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }
  ~BackgroundHelpers() override {
    for (pid_t pid : ourChildren()) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
  }

  // The value exists nowhere until the server thread makes it, which is after the tool forked
  // its helper if it did so before asking.
  std::string value() {
    std::lock_guard lock(mutex_);
    return value_;
  }

  TempDir dir_;
  ScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path()};
  ScopedEnv copy_{"CASKEL_CLIPBOARD_COPY", "cat > " + shellSingleQuote(dir_.file("clip"))};
  ScopedEnv paste_{"CASKEL_CLIPBOARD_PASTE", "cat " + shellSingleQuote(dir_.file("clip"))};
  std::mutex mutex_;
  std::string value_;
  FakeServer server_{[this](const nlohmann::json&) -> nlohmann::json {
    std::lock_guard lock(mutex_);
    value_ = "fetched-" + randomHex();
    return {{"ok", true}, {"value", value_}};
  }};
};

TEST_F(BackgroundHelpers, NeitherTheScriptRemoverNorTheClipboardClearerHoldsTheValue) {
  for (const char* flag : {"", "--copy"}) {
    // Made before the run, so its copy must be there: the scan can see what the helper holds.
    const std::string key = "acme/api/PROBE_" + randomHex();
    std::vector<std::string> args = {"get", key};
    if (*flag) args.emplace_back(flag);
    auto run = runTool(args);
    ASSERT_EQ(run.code, 0) << run.err;
    std::vector<pid_t> helpers = ourChildren();
    ASSERT_EQ(helpers.size(), 1u) << flag;
    EXPECT_TRUE(memoryHolds(helpers[0], key)) << "the scan cannot read the helper";
    EXPECT_FALSE(memoryHolds(helpers[0], value())) << flag;
    ::kill(helpers[0], SIGKILL);
    ::waitpid(helpers[0], nullptr, 0);
  }
}

}  // namespace
}  // namespace caskel::cli
