// `cmake --install` of this build into a temporary prefix: the programs, the manual pages, the
// shell completions and the systemd user unit, each where its reader looks for it.
#include <gmock/gmock.h>

#include <filesystem>
#include <set>

#include "e2e/caskeld_process.h"
#include "support/test_env.h"

namespace caskel::test {
namespace {

using ::testing::HasSubstr;

class Install : public ::testing::Test {
 protected:
  void SetUp() override {
    auto installed = runProcess({"cmake", "--install", CASKEL_BUILD_DIR, "--prefix", prefix.path()});
    ASSERT_EQ(installed.code, 0) << installed.out << installed.err;
  }
  std::string at(const std::string& relative) const { return prefix.file(relative); }

  TempDir prefix;
};

TEST_F(Install, PutsEachFileWhereItsReaderLooks) {
  struct {
    const char* path;
    int mode;
    const char* completes = nullptr;  // the shell whose completion script this is
  } files[] = {
      {"bin/caskel", 0755},
      {"bin/caskeld", 0755},
      {"share/man/man1/caskel.1", 0644},
      {"share/man/man1/caskeld.1", 0644},
      {"share/bash-completion/completions/caskel", 0644, "bash"},
      {"share/zsh/vendor-completions/_caskel", 0644, "zsh"},
      {"share/fish/vendor_completions.d/caskel.fish", 0644, "fish"},
      {"share/systemd/user/caskeld.service", 0644},
  };
  std::set<std::string> expected;
  for (const auto& f : files) {
    EXPECT_EQ(modeOf(at(f.path)), f.mode) << f.path;
    expected.insert(f.path);
    // The scripts are the installed tool's own.
    if (f.completes) {
      EXPECT_EQ(readText(at(f.path)), runProcess({at("bin/caskel"), "completion", f.completes}).out);
    }
  }
  // Nothing else: no test programs, no libraries.
  std::set<std::string> found;
  for (const auto& e : std::filesystem::recursive_directory_iterator(prefix.path())) {
    if (e.is_regular_file()) found.insert(std::filesystem::relative(e.path(), prefix.path()).string());
  }
  EXPECT_EQ(found, expected);

  EXPECT_TRUE(printed(runProcess({at("bin/caskel"), "--version"}), "caskel "));
}

TEST_F(Install, ManPagesRenderCleanlyAndNameEveryCommand) {
  std::string rendered;
  for (const char* page : {"caskel.1", "caskeld.1"}) {
    const RunOptions options{"", environmentWith({{"MANWIDTH", "80"}}), {}};
    auto man = runProcess({"man", "--warnings", "-l", at(std::string("share/man/man1/") + page)}, options);
    EXPECT_TRUE(printed(man, "NAME") && man.err.empty()) << page << ": " << man.err;
    if (std::string(page) == "caskel.1") rendered = man.out;
  }
  const auto commands = listedCommands(runProcess({at("bin/caskel"), "help"}).out);
  EXPECT_GT(commands.size(), 20u);
  for (const auto& command : commands) {
    EXPECT_TRUE(has(rendered, " " + command + " ") || has(rendered, " " + command + "\n"))
        << "caskel(1) does not describe " << command;
  }
}

TEST_F(Install, TheUnitStartsTheInstalledServerHardened) {
  const std::string unit = readText(at("share/systemd/user/caskeld.service"));
  EXPECT_THAT(unit, HasSubstr("\nExecStart=" + at("bin/caskeld") + "\n"));
  for (const char* setting :
       {"NoNewPrivileges=yes", "RestrictAddressFamilies=AF_UNIX", "PrivateNetwork=yes",
        "ProtectSystem=strict", "ProtectHome=read-only", "LockPersonality=yes", "MemoryDenyWriteExecute=yes",
        "ReadWritePaths=%h/.local/share/caskel %h/.config/caskel /tmp/caskel-sock-%U"}) {
    EXPECT_THAT(unit, HasSubstr(std::string("\n") + setting + "\n"));
  }
  if (runProcess({"/bin/sh", "-c", "command -v systemd-analyze"}).code != 0) {
    GTEST_LOG_(INFO) << "systemd-analyze is not installed: the unit's syntax is not verified";
    return;
  }
  // Its Documentation= names caskeld(1), which verify looks up.
  const RunOptions options{
      "", environmentWith({{"MANPATH", at("share/man")}, {"SYSTEMD_LOG_COLOR", "0"}}), {}};
  auto verify = runProcess({"systemd-analyze", "verify", at("share/systemd/user/caskeld.service")}, options);
  EXPECT_TRUE(verify.code == 0 && verify.err.empty()) << verify.err;
}

}  // namespace
}  // namespace caskel::test
