// The real caskeld's passphrase prompt: its program chosen once, at start, and never from the
// working directory; when no prompt can be shown, the request says why (no prompt is not a no),
// the server says it once, and "ls" does not pass that off as an empty vault (an unreadable
// vault's listing is in the damaged-file tests).
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
    // Without any program, every prompting command names the reason (no pinentry is not a no).
    for (const json& body : {getRequest("org/proj/KEY"), json{{"cmd", "ls"}}}) {
      const json reply = server.request(body);
      EXPECT_EQ(reply["ok"], false) << body;
      EXPECT_EQ(reply["error"] == "Passphrase prompt unavailable: no pinentry program found", !c.runs)
          << reply;
    }
    EXPECT_EQ(::access(marker.c_str(), F_OK) == 0, c.runs);
  }
}

TEST(PromptUnavailableTest, APinentryThatDiesIsReportedOnceAndLsDoesNotClaimAnEmptyVault) {
  CaskeldProcess server;
  server.pinentry().setDefault("CRASH");
  ASSERT_TRUE(server.start()) << server.output();
  const std::string expected = "Passphrase prompt unavailable: pinentry exited without answering";
  for (int i = 0; i < 3; ++i) {
    const json listed = server.request({{"cmd", "ls"}});
    EXPECT_TRUE(listed["ok"] == false && !listed.contains("accounts") &&
                listed.value("error", "").starts_with(expected))
        << listed;
    EXPECT_TRUE(server.request(setRequest("org/p/KEY", "v")).value("error", "").starts_with(expected));
  }
  // The server says it once, however many requests met it.
  const std::string out = server.output();
  const std::string line = "Caskel: passphrase prompt unavailable: pinentry exited without answering";
  EXPECT_TRUE(has(out, line) && out.find(line) == out.rfind(line)) << out;
  // A person's own no is still a cancel.
  server.pinentry().answer("CANCEL");
  EXPECT_EQ(server.request({{"cmd", "ls"}})["error"], "Authentication canceled");
}

}  // namespace
}  // namespace caskel::test
