#include "cli/sandbox_plan.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace caskel::cli {
namespace {

TEST(SandboxPlan, WritablePathsMayHoldNoStartUpFileHomeOrCaskelDirectory) {
  const std::string home = "/home/u";
  const std::vector<std::string> caskel = {"/home/u/.config/caskel", "/home/u/.local/share/caskel",
                                           "/run/sock"};
  const std::pair<std::string, const char*> refused[] = {
      {"/", "holds your home directory"},
      {"/home/u", "holds your home directory"},
      {"/home/u/.config", "holds /home/u/.config/fish"},
      {"/home/u/.local", "holds /home/u/.local/bin"},
      {"/home/u/.local/share", "holds Caskel's /home/u/.local/share/caskel"},
      {"/home/u/.config/caskel/sub", "lies in Caskel's /home/u/.config/caskel"},
      {"/run", "holds Caskel's /run/sock"},
  };
  for (const auto& [path, why] : refused) {
    auto problem = writableProblem(path, home, caskel);
    ASSERT_TRUE(problem) << path;
    EXPECT_NE(problem->find(why), std::string::npos) << *problem;
  }
  for (const char* fine : {"/home/u/src/api", "/home/u/.claude", "/home/u2", "/home/u/.configs", "/tmp/x"}) {
    EXPECT_FALSE(writableProblem(fine, home, caskel)) << fine;
  }
}

TEST(SandboxPlan, HiddenDirectoriesAndTheSocketAreMountedAfterEveryWritablePath) {
  SandboxPlan plan{.home = "/tmp/h",
                   .uid = 1000,
                   .project = "/tmp/h/proj",
                   .workingDir = "/elsewhere",
                   .writable = {"/tmp/h/.claude", "/tmp/h/proj"},
                   .hidden = {"/tmp/h/.config/caskel"},
                   .runtimeDirs = {"/run/user/1000"},
                   .socketDir = "/tmp/caskel-sock-1000/sandbox-1",
                   .seccompFd = 7,
                   .command = {"claude", "--resume"}};
  const auto args = bwrapArguments(plan);
  auto at = [&](const std::vector<std::string>& run) {
    auto it = std::search(args.begin(), args.end(), run.begin(), run.end());
    EXPECT_NE(it, args.end()) << run.front() << " " << run.back();
    return it - args.begin();
  };
  const auto privateTmp = at({"--tmpfs", "/tmp"});
  const auto homeShown = at({"--ro-bind", "/tmp/h", "/tmp/h"});  // a home in /tmp stays readable
  const auto runtime = at({"--tmpfs", "/run/user/1000"});
  const auto project = at({"--bind", "/tmp/h/proj", "/tmp/h/proj"});
  const auto agent = at({"--bind", "/tmp/h/.claude", "/tmp/h/.claude"});
  const auto hidden = at({"--tmpfs", "/tmp/h/.config/caskel"});
  const auto socket = at({"--ro-bind", "/tmp/caskel-sock-1000/sandbox-1", "/tmp/caskel-sock-1000"});
  EXPECT_TRUE(privateTmp < homeShown && homeShown < runtime && runtime < project && project < agent &&
              agent < hidden && hidden < socket);
  EXPECT_EQ(std::count(args.begin(), args.end(), "--bind"), 2) << "the project is bound once";
  at({"--unsetenv", "CASKEL_SOCKET"});
  at({"--chdir", "/tmp/h/proj"});  // a working directory outside the project is not entered
  at({"--seccomp", "7", "--", "claude", "--resume"});
  EXPECT_EQ(std::vector<std::string>(args.end() - 3, args.end()),
            (std::vector<std::string>{"--", "claude", "--resume"}));
}

}  // namespace
}  // namespace caskel::cli
