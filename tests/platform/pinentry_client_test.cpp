#include "platform/pinentry_client.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/assuan_parser.h"
#include "platform/child_process.h"
#include "support/scripted_pinentry.h"
#include "support/test_env.h"

namespace caskel {
namespace {

using test::ScopedEnv;
using test::ScriptedPinentry;
using test::TempDir;
using Status = PinentryReply::Status;

std::vector<AssuanLine> drain(AssuanParser& parser) {
  std::vector<AssuanLine> lines;
  while (auto line = parser.next()) lines.push_back(std::move(*line));
  return lines;
}

TEST(AssuanParser, AssemblesLinesFromArbitrarilySplitInput) {
  const std::string stream =
      "OK Pleased to meet you\n# a comment\nS PIN_REPEATED\nD a%25b%0Ac\nD  d\n"
      "ERR 83886179 Operation cancelled <Pinentry>\nINQUIRE QUALITY x\nOK\n";
  // Every split point, byte by byte included, must give the same lines.
  for (size_t chunk = 1; chunk <= stream.size(); chunk += 7) {
    AssuanParser parser;
    for (size_t i = 0; i < stream.size(); i += chunk) parser.feed(std::string_view(stream).substr(i, chunk));
    ASSERT_FALSE(parser.failed());
    auto lines = drain(parser);
    ASSERT_EQ(lines.size(), 8u) << "chunk " << chunk;
    EXPECT_EQ(lines[0].kind, AssuanLine::Kind::ok);
    EXPECT_EQ(lines[0].text, "Pleased to meet you");
    EXPECT_EQ(lines[1].kind, AssuanLine::Kind::comment);
    EXPECT_EQ(lines[2].kind, AssuanLine::Kind::status);
    EXPECT_EQ(lines[2].text, "PIN_REPEATED");
    EXPECT_EQ(lines[3].kind, AssuanLine::Kind::data);
    EXPECT_EQ(lines[3].data, std::string_view("a%b\nc"));
    EXPECT_EQ(lines[4].data, std::string_view(" d"));
    EXPECT_EQ(lines[5].kind, AssuanLine::Kind::err);
    EXPECT_EQ(lines[5].code, 83886179u);
    EXPECT_EQ(lines[5].code & 0xFFFF, 99u);
    EXPECT_EQ(lines[5].text, "Operation cancelled <Pinentry>");
    EXPECT_EQ(lines[6].kind, AssuanLine::Kind::inquire);
    EXPECT_EQ(lines[7].kind, AssuanLine::Kind::ok);
    EXPECT_FALSE(parser.partial());
  }
}

TEST(AssuanParser, EnforcesTheLineLimit) {
  AssuanParser atLimit;
  atLimit.feed("D " + std::string(AssuanParser::kMaxLineLength - 2, 'x') + "\n");
  ASSERT_FALSE(atLimit.failed());
  EXPECT_EQ(atLimit.next()->data.size(), AssuanParser::kMaxLineLength - 2);

  AssuanParser over;
  over.feed("D " + std::string(AssuanParser::kMaxLineLength, 'x'));  // no line feed ever comes
  EXPECT_TRUE(over.failed());
  EXPECT_EQ(over.error(), AssuanParser::Error::lineTooLong);
  over.feed("\nOK\n");
  EXPECT_FALSE(over.next().has_value());
}

TEST(AssuanParser, RejectsWhatIsNotAResponse) {
  for (const char* bad : {"OKAY\n", "ERR\n", "ERR abc\n", "ERR 12x\n", "ERR 99999999999\n", "D %G1\n",
                          "D %4\n", "S\n", "hello\n", "\n"}) {
    AssuanParser parser;
    parser.feed(bad);
    EXPECT_TRUE(parser.failed()) << bad;
    EXPECT_EQ(parser.error(), AssuanParser::Error::malformed) << bad;
    EXPECT_FALSE(parser.next().has_value()) << bad;
  }
}

TEST(AssuanParser, EscapesControlBytesAndPercentOnly) {
  const std::string text = "100% \"sure\"\r\n\tnaïve ✓";
  std::string escaped = assuanEscape(text);
  EXPECT_EQ(escaped, "100%25 \"sure\"%0D%0A%09naïve ✓");
  auto back = assuanUnescape(escaped);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, std::string_view(text));
}

// Runs the scope in `dir`, so that empty and relative PATH entries would name it.
struct ScopedCwd {
  explicit ScopedCwd(const std::string& dir) { std::filesystem::current_path(dir); }
  ~ScopedCwd() { std::filesystem::current_path(old); }
  std::filesystem::path old = std::filesystem::current_path();
};

void writeExecutable(const std::string& path, mode_t mode = 0700) {
  test::writeText(path, "#!/bin/sh\n");
  ::chmod(path.c_str(), mode);
}

TEST(FindOnPath, TakesTheFirstExecutableFileOfAnAbsoluteEntry) {
  TempDir dir;
  for (const char* sub : {"a", "b", "c", "d", "e", "e/pinentry"}) ::mkdir(dir.file(sub).c_str(), 0700);
  writeExecutable(dir.file("pinentry"));          // in the working directory
  writeExecutable(dir.file("a/pinentry"));        // under a relative entry
  writeExecutable(dir.file("b/pinentry"), 0600);  // not executable; e/pinentry is a directory
  writeExecutable(dir.file("c/pinentry"));
  writeExecutable(dir.file("d/pinentry"));
  ScopedCwd cwd(dir.path());
  for (const char* path : {"", ":", "::", ".", "a", "./a", ":.:a:"})
    EXPECT_EQ(findOnPath("pinentry", path), std::nullopt) << "PATH=" << path;
  const std::string skipped = ":.:a::" + dir.file("b") + ":" + dir.file("e") + ":";
  EXPECT_EQ(findOnPath("pinentry", skipped), std::nullopt);
  EXPECT_EQ(findOnPath("pinentry", skipped + dir.file("c") + ":" + dir.file("d")), dir.file("c/pinentry"));
  EXPECT_EQ(findOnPath("pinentry", skipped + dir.file("d") + ":" + dir.file("c")), dir.file("d/pinentry"));
  ScopedEnv path("PATH", ":a");
  EXPECT_EQ(findExecutable("pinentry"), std::nullopt);
}

TEST(PinentryLocate, SettingMustBeAbsoluteElsePathIsSearched) {
  using ProgramStatus = PinentryClient::Program::Status;
  TempDir dir;
  writeExecutable(dir.file("pinentry"));
  writeExecutable(dir.file("plain"), 0600);
  ScopedCwd cwd(dir.path());
  ScopedEnv path("PATH", ":.");
  auto locate = [](const std::optional<std::string>& setting) {
    ScopedEnv env("CASKEL_PINENTRY", setting);
    return PinentryClient::locate();
  };
  EXPECT_EQ(locate("pinentry").status, ProgramStatus::relativeSetting);
  EXPECT_EQ(locate("./pinentry").path, "");
  EXPECT_EQ(locate(dir.file("plain")).status, ProgramStatus::settingNotExecutable);
  EXPECT_EQ(locate(dir.file("pinentry")).path, dir.file("pinentry"));
  EXPECT_EQ(locate(std::nullopt).status, ProgramStatus::notFound);
  ScopedEnv absolute("PATH", ":" + dir.path());
  EXPECT_EQ(locate("").path, dir.file("pinentry"));
}

int openFdCount() {
  int count = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++count;
    ::closedir(d);
  }
  return count;
}

class PinentryClientTest : public ::testing::Test {
 protected:
  PinentryClientTest() : pinentry_(dir_.path()) { pinentry_.installInProcess(); }

  PinentryRequest request(const std::string& desc = "Read \"acme/api/KEY\"") {
    PinentryRequest r;
    r.description = desc;
    return r;
  }

  TempDir dir_;
  ScriptedPinentry pinentry_;
  PinentryClient client_{test::scriptedPinentryPath(), 5};
};

TEST_F(PinentryClientTest, ReturnsThePassphraseAndShowsTheRequest) {
  pinentry_.answer("PIN s3cret %with spaces");
  PinentryRequest r = request();
  r.error = "Wrong passphrase";
  PinentryReply reply = client_.getPassphrase(r);
  ASSERT_EQ(reply.status, Status::ok);
  EXPECT_EQ(reply.pin, std::string_view("s3cret %with spaces"));
  auto prompts = pinentry_.prompts();
  ASSERT_EQ(prompts.size(), 1u);
  EXPECT_EQ(prompts[0]["title"], "Caskel");
  EXPECT_EQ(prompts[0]["desc"], "Read \"acme/api/KEY\"");
  EXPECT_EQ(prompts[0]["prompt"], "Passphrase:");
  EXPECT_EQ(prompts[0]["error"], "Wrong passphrase");
  EXPECT_EQ(prompts[0]["repeat"], false);
}

TEST_F(PinentryClientTest, DescriptionArrivesIntact) {
  const std::string desc = "Unlock \"acme/\" — 100% for 4h\nvia claude (agent)\r\n\ttab café 🔑";
  pinentry_.answer("PIN x");
  ASSERT_EQ(client_.getPassphrase(request(desc)).status, Status::ok);
  ASSERT_EQ(pinentry_.descriptions().size(), 1u);
  EXPECT_EQ(pinentry_.descriptions()[0], desc);
}

TEST_F(PinentryClientTest, EmptyPassphraseAndRepeatedEntry) {
  pinentry_.answer("PIN");
  EXPECT_EQ(client_.getPassphrase(request()).status, Status::ok);
  pinentry_.answer("PIN new one");
  PinentryRequest r = request();
  r.repeat = true;
  PinentryReply reply = client_.getPassphrase(r);
  ASSERT_EQ(reply.status, Status::ok);
  EXPECT_EQ(reply.pin, std::string_view("new one"));
  EXPECT_EQ(pinentry_.prompts().at(1)["repeat"], true);
}

TEST_F(PinentryClientTest, PinentryWithoutRepeatIsAskedTwiceUntilBothMatch) {
  ScopedEnv old("SCRIPTED_PINENTRY_NO_REPEAT", "1");
  for (const char* a : {"PIN first", "PIN frist", "PIN second", "PIN second"}) pinentry_.answer(a);
  PinentryRequest r = request();
  r.repeat = true;
  PinentryReply reply = client_.getPassphrase(r);
  ASSERT_EQ(reply.status, Status::ok);
  EXPECT_EQ(reply.pin, std::string_view("second"));
  auto prompts = pinentry_.prompts();
  ASSERT_EQ(prompts.size(), 4u);
  EXPECT_EQ(prompts[1]["prompt"], r.repeatPrompt);
  EXPECT_EQ(prompts[2]["prompt"], r.prompt);
  EXPECT_EQ(prompts[2]["error"], r.repeatError);
}

TEST_F(PinentryClientTest, CancelIsCanceledAndBrokenPinentriesAreUnavailable) {
  pinentry_.answer("CANCEL");
  pinentry_.answer("CRASH");
  pinentry_.answer("GARBAGE");
  EXPECT_EQ(client_.getPassphrase(request()).status, Status::canceled);
  EXPECT_EQ(client_.getPassphrase(request()).status, Status::unavailable);
  EXPECT_EQ(client_.getPassphrase(request()).status, Status::unavailable);
  EXPECT_EQ(pinentry_.promptCount(), 3);
}

TEST_F(PinentryClientTest, HangingPinentryTimesOutAndLeavesNothingBehind) {
  int fdsBefore = openFdCount();
  pinentry_.answer("HANG");
  PinentryClient quick(1);
  EXPECT_EQ(quick.getPassphrase(request()).status, Status::unavailable);
  pinentry_.answer("CRASH");
  EXPECT_EQ(client_.getPassphrase(request()).status, Status::unavailable);
  pinentry_.answer("PIN ok");
  EXPECT_EQ(client_.getPassphrase(request()).status, Status::ok);
  // Every child was reaped (no zombie left to collect) and every descriptor closed.
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(openFdCount(), fdsBefore);
}

TEST_F(PinentryClientTest, MissingProgramIsUnavailable) {
  EXPECT_EQ(PinentryClient(dir_.file("no-such-pinentry"), 5).getPassphrase(request()).status, Status::unavailable);
  PinentryClient none("", 5);
  EXPECT_FALSE(none.available());
}

TEST_F(PinentryClientTest, ProgramIsChosenOnceAtConstruction) {
  PinentryClient client(5);
  ASSERT_EQ(client.program(), test::scriptedPinentryPath());
  // What the environment says afterwards is never looked at again.
  const std::string marker = dir_.file("marker");
  const std::string other = dir_.file("pinentry");
  test::writeText(other, "#!/bin/sh\n: > '" + marker + "'\n");
  ::chmod(other.c_str(), 0700);
  ScopedEnv program("CASKEL_PINENTRY", other);
  ScopedEnv path("PATH", dir_.path());
  pinentry_.answer("PIN x");
  EXPECT_EQ(client.getPassphrase(request()).status, Status::ok);
  EXPECT_EQ(pinentry_.promptCount(), 1);
  EXPECT_NE(::access(marker.c_str(), F_OK), 0);
}

TEST_F(PinentryClientTest, PinentryThatQuitsAfterGreetingCannotKillTheServer) {
  // It answers ahead and is gone while we still send: that must be EPIPE, never a SIGPIPE.
  const std::string script = dir_.file("quitter");
  test::writeText(script, "#!/bin/sh\nprintf 'OK hello\\nOK\\nOK\\nOK\\n'\nexit 0\n");
  ::chmod(script.c_str(), 0700);
  PinentryClient quitter(script, 5);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(quitter.getPassphrase(request()).status, Status::unavailable);
}

TEST_F(PinentryClientTest, PassesTheServersOwnTerminal) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  std::string slaveName = ::ptsname(master);
  int slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  int savedStdin = ::dup(STDIN_FILENO);
  ::dup2(slave, STDIN_FILENO);
  ScopedEnv term("TERM", "xterm-256color");
  pinentry_.answer("PIN x");
  Status status = client_.getPassphrase(request()).status;
  ::dup2(savedStdin, STDIN_FILENO);
  ::close(savedStdin);
  ::close(slave);
  ::close(master);
  EXPECT_EQ(status, Status::ok);
  EXPECT_EQ(pinentry_.prompts().at(0)["ttyname"], slaveName);
}

}  // namespace
}  // namespace caskel
