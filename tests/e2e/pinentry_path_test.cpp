// The real caskeld chooses its pinentry once, at start, and never from its working directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

// The working directory holds what an attacker would plant: programs named pinentry, in it and
// in a subdirectory, that leave a marker when run (by a shell builtin: PATH holds no tools).
class PinentryPathTest : public ::testing::Test {
 protected:
  PinentryPathTest() {
    ::mkdir(work_.file("bin").c_str(), 0700);
    for (const char* planted : {"pinentry", "bin/pinentry"}) {
      writeText(work_.file(planted), "#!/bin/sh\n: > '" + marker_ + "'\n");
      ::chmod(work_.file(planted).c_str(), 0700);
    }
  }

  CaskeldProcess::Options options(const std::map<std::string, std::string>& env) const {
    CaskeldProcess::Options o;
    o.unsetPinentry = true;
    o.workingDir = work_.path();
    o.extraEnv = env;
    return o;
  }

  // Asks for a value, which needs the passphrase; true when the server gave it.
  static bool get(const CaskeldProcess& server) {
    return server.request({{"cmd", "get"}, {"account", "org/proj/KEY"}}).value("ok", false);
  }

  bool planted() const { return ::access(marker_.c_str(), F_OK) == 0; }

  TempDir work_;
  TempDir empty_;
  const std::string marker_ = work_.file("ran");
};

TEST_F(PinentryPathTest, EmptyAndRelativePathEntriesAreNeverSearched) {
  CaskeldProcess server(options({{"PATH", ":.:bin::" + empty_.path()}}));
  ASSERT_TRUE(server.start()) << server.output();
  EXPECT_NE(server.output().find("Caskel: no pinentry program was found"), std::string::npos) << server.output();
  EXPECT_FALSE(get(server));
  EXPECT_FALSE(planted());
}

// The control: the same program, named absolutely, does run, so the marker would show a run.
TEST_F(PinentryPathTest, AnAbsoluteSettingIsRun) {
  CaskeldProcess server(options({{"PATH", ":.:bin"}, {"CASKEL_PINENTRY", work_.file("pinentry")}}));
  ASSERT_TRUE(server.start()) << server.output();
  EXPECT_FALSE(get(server));  // it speaks no Assuan
  EXPECT_TRUE(planted());
}

}  // namespace
}  // namespace caskel::test
