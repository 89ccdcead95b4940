// The real caskeld chooses its pinentry once, at start, and never from its working directory.
#include <sys/stat.h>
#include <unistd.h>

#include "e2e/caskeld_process.h"

namespace caskel::test {
namespace {

// The working directory holds what an attacker would plant: programs named pinentry, in it and
// in a subdirectory, that leave a marker when run (by a shell builtin: PATH holds no tools).
TEST(PinentryPathTest, EmptyAndRelativePathEntriesAreNeverSearched) {
  TempDir work, empty;
  const std::string marker = work.file("ran");
  ::mkdir(work.file("bin").c_str(), 0700);
  for (const char* planted : {"pinentry", "bin/pinentry"}) {
    writeText(work.file(planted), "#!/bin/sh\n: > '" + marker + "'\n");
    ::chmod(work.file(planted).c_str(), 0700);
  }
  struct {
    std::map<std::string, std::string> env;
    bool runs;  // the control: the same program, named absolutely, does run
  } cases[] = {{{{"PATH", ":.:bin::" + empty.path()}}, false},
               {{{"PATH", ":.:bin"}, {"CASKEL_PINENTRY", work.file("pinentry")}}, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.runs ? "absolute" : "searched");
    CaskeldProcess server([&](auto& o) {
      o.extraEnv = c.env;
      o.unsetPinentry = true;
      o.workingDir = work.path();
    });
    ASSERT_TRUE(server.start()) << server.output();
    EXPECT_EQ(c.runs, server.output().find("Caskel: no pinentry program was found") == std::string::npos)
        << server.output();
    // A value needs the passphrase; the planted program speaks no Assuan, so never gives it.
    EXPECT_EQ(server.request(getRequest("org/proj/KEY"))["ok"], false);
    EXPECT_EQ(::access(marker.c_str(), F_OK) == 0, c.runs);
  }
}

}  // namespace
}  // namespace caskel::test
