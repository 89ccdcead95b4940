#include "platform/pinentry_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/assuan_parser.h"
#include "platform/child_process.h"
#include "platform/passphrase_authenticator.h"
#include "platform/vault.h"
#include "support/fakes.h"
#include "support/scripted_pinentry.h"
#include "support/test_env.h"

namespace caskel {
namespace {

using test::ScopedEnv;
using test::TempDir;
using Status = PinentryReply::Status;
using Kind = AssuanLine::Kind;

TEST(AssuanParser, AssemblesLinesFromArbitrarilySplitInput) {
  const std::string stream =
      "OK Pleased to meet you\n# a comment\nS PIN_REPEATED\nD a%25b%0Ac\nD  d\n"
      "ERR 83886179 Operation cancelled <Pinentry>\nINQUIRE QUALITY x\nOK\n";
  using Line = std::tuple<Kind, std::string, std::string, uint32_t>;  // kind, text, data, code
  const std::vector<Line> expected = {{Kind::ok, "Pleased to meet you", "", 0},
                                      {Kind::comment, " a comment", "", 0},
                                      {Kind::status, "PIN_REPEATED", "", 0},
                                      {Kind::data, "", "a%b\nc", 0},
                                      {Kind::data, "", " d", 0},
                                      {Kind::err, "Operation cancelled <Pinentry>", "", 83886179},
                                      {Kind::inquire, "QUALITY x", "", 0},
                                      {Kind::ok, "", "", 0}};
  // Every split point, byte by byte included, must give the same lines.
  for (size_t chunk = 1; chunk <= stream.size(); chunk += 7) {
    AssuanParser parser;
    for (size_t i = 0; i < stream.size(); i += chunk) parser.feed(std::string_view(stream).substr(i, chunk));
    ASSERT_FALSE(parser.failed());
    std::vector<Line> lines;
    while (auto l = parser.next()) lines.emplace_back(l->kind, l->text, l->data.str(), l->code);
    EXPECT_EQ(lines, expected) << "chunk " << chunk;
    EXPECT_FALSE(parser.partial());
  }
}

TEST(AssuanParser, EnforcesTheLineLimitAndRejectsWhatIsNotAResponse) {
  AssuanParser atLimit;
  atLimit.feed("D " + std::string(AssuanParser::kMaxLineLength - 2, 'x') + "\n");
  ASSERT_FALSE(atLimit.failed());
  EXPECT_EQ(atLimit.next()->data.size(), AssuanParser::kMaxLineLength - 2);

  AssuanParser over;
  over.feed("D " + std::string(AssuanParser::kMaxLineLength, 'x'));  // no line feed ever comes
  EXPECT_EQ(over.error(), AssuanParser::Error::lineTooLong);
  over.feed("\nOK\n");
  EXPECT_FALSE(over.next().has_value());

  for (const char* bad : {"OKAY\n", "ERR\n", "ERR abc\n", "ERR 12x\n", "ERR 99999999999\n", "D %G1\n",
                          "D %4\n", "S\n", "hello\n", "\n"}) {
    AssuanParser parser;
    parser.feed(bad);
    EXPECT_EQ(parser.error(), AssuanParser::Error::malformed) << bad;
    EXPECT_FALSE(parser.next().has_value()) << bad;
  }
}

std::string writeExecutable(const std::string& path, mode_t mode = 0700, const std::string& body = "") {
  test::writeText(path, "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), mode);
  return path;
}

// The setting wins when absolute; otherwise the first executable file named `pinentry` under an
// absolute PATH entry. Which entries are searched, in what order, is the path lookup's test; a
// planted program never run from the working directory and an absolute setting that is, the
// pinentry path end-to-end test's.
TEST(PinentryLocate, SettingMustBeAbsoluteAndOnlyExecutableFilesCount) {
  using ProgramStatus = PinentryClient::Program::Status;
  TempDir dir;
  for (const char* sub : {"b", "e", "e/pinentry"}) ::mkdir(dir.file(sub).c_str(), 0700);
  writeExecutable(dir.file("pinentry"));
  writeExecutable(dir.file("plain"), 0600);
  writeExecutable(dir.file("b/pinentry"), 0600);  // not executable; e/pinentry is a directory
  EXPECT_EQ(findOnPath("pinentry", dir.file("b") + ":" + dir.file("e")), std::nullopt);
  auto locate = [](const std::optional<std::string>& setting) {
    ScopedEnv env("CASKEL_PINENTRY", setting);
    return PinentryClient::locate();
  };
  EXPECT_EQ(locate("pinentry").status, ProgramStatus::relativeSetting);
  EXPECT_EQ(locate("./pinentry").path, "");
  EXPECT_EQ(locate(dir.file("plain")).status, ProgramStatus::settingNotExecutable);
  ScopedEnv path("PATH", ":" + dir.path());
  EXPECT_EQ(locate("").path, dir.file("pinentry"));
}

class PinentryClientTest : public ::testing::Test {
 protected:
  PinentryClientTest() { pinentry_.installInProcess(); }

  TempDir dir_;
  test::ScriptedPinentry pinentry_{dir_.path()};
  PinentryClient client_{test::scriptedPinentryPath(), 5};
};

// A pinentry (a shell script) that greets, agrees to everything and answers GETPIN with `err`,
// as a real one does when it has nowhere to show its dialog or the person cancels.
std::string refusingPinentry(const TempDir& dir, const std::string& err) {
  return writeExecutable(
      dir.file(err.substr(4, 8)), 0700,
      "echo 'OK hello'\nwhile read -r cmd rest; do\n  case \"$cmd\" in\n    GETPIN) echo '" + err +
          "' ;;\n    BYE) echo OK; exit 0 ;;\n    *) echo OK ;;\n  esac\ndone\n");
}

// A pinentry that gives no answer is not a person saying no: the client says why it got none.
// Without a display the failure is put in the words the person can act on; with one, the
// pinentry's own error is passed on (plain ASCII only). The person's no, or the dialog's own
// time-out, stays a cancel without a reason. The scripted pinentry's cancel and crash are the
// prompt-unavailable end-to-end tests'.
TEST_F(PinentryClientTest, EveryReplyAndBreakdownSaysWhyAndLeavesNoChildOrDescriptorBehind) {
  const auto openFds = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  const auto fdsBefore = openFds();
  ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
  const std::string scripted = test::scriptedPinentryPath();
  const struct {
    std::string program;
    const char* answer;  // the scripted pinentry's
    bool display;
    Status status;
    const char* pin;
    std::string reason;  // how it starts
  } cases[] = {
      {scripted, "PIN s3cret %with spaces", true, Status::ok, "s3cret %with spaces", ""},
      {scripted, "PIN", true, Status::ok, "", ""},
      {scripted, "GARBAGE", true, Status::unavailable, "", "pinentry does not speak the Assuan protocol"},
      {dir_.file("gone"), nullptr, true, Status::unavailable, "",
       "pinentry could not be started (No such file or directory)"},
      {refusingPinentry(dir_, "ERR 83918849 Kein Gerät <Pinentry>"), nullptr, true, Status::unavailable, "",
       "pinentry failed: Kein Ger??t <Pinentry>"},
      {refusingPinentry(dir_, "ERR 83918950 Inappropriate ioctl for device <Pinentry>"), nullptr, false,
       Status::unavailable, "",
       ::isatty(STDIN_FILENO) ? "pinentry failed: Inappropriate ioctl" : "no display and no terminal"},
      {refusingPinentry(dir_, "ERR 83886179 Operation cancelled <Pinentry>"), nullptr, false,
       Status::canceled, "", ""},
      {refusingPinentry(dir_, "ERR 83886142 Timeout <Pinentry>"), nullptr, false, Status::canceled, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer ? c.answer : c.program);
    ScopedEnv display("DISPLAY", c.display ? std::optional<std::string>(":99") : std::nullopt);
    if (c.answer) pinentry_.answer(c.answer);
    PinentryReply reply = PinentryClient(c.program, 5).getPassphrase({});
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.pin, std::string_view(c.pin));
    EXPECT_TRUE(reply.reason.rfind(c.reason, 0) == 0 && reply.reason.empty() == c.reason.empty())
        << reply.reason;
  }
  EXPECT_EQ(pinentry_.promptCount(), 3);
  pinentry_.answer("HANG");
  EXPECT_EQ(PinentryClient(1).getPassphrase({}).reason, "pinentry did not answer within 1 seconds");
  // No program found at all is the prompt-unavailable end-to-end test's.
  const std::string relative = "CASKEL_PINENTRY is not an absolute path";
  PinentryClient unset(PinentryClient::Program{PinentryClient::Program::Status::relativeSetting, {}});
  EXPECT_FALSE(unset.available());
  EXPECT_EQ(unset.unavailableReason(), relative);
  EXPECT_EQ(unset.getPassphrase({}).reason, relative);
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // every child reaped, no zombie left
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(openFds(), fdsBefore);
}

// Percent, line breaks, tabs and non-ASCII text survive the Assuan escaping both ways (a PIN with
// "%" is the row above). The repeat flag is the keychain's and the passwd end-to-end test's.
TEST_F(PinentryClientTest, ShowsTheRequestIntact) {
  PinentryRequest r;
  r.description = "Unlock \"acme/\" — 100% for 4h\nvia claude (agent)\r\n\ttab café 🔑";
  r.error = "Wrong passphrase";
  pinentry_.answer("PIN x");
  ASSERT_EQ(client_.getPassphrase(r).status, Status::ok);
  auto prompt = pinentry_.prompts().at(0);
  EXPECT_EQ(prompt["title"], "Caskel");
  EXPECT_EQ(prompt["desc"], r.description);
  EXPECT_EQ(prompt["prompt"], "Passphrase:");
  EXPECT_EQ(prompt["error"], "Wrong passphrase");
  EXPECT_EQ(prompt["repeat"], false);
}

TEST_F(PinentryClientTest, PinentryWithoutRepeatIsAskedTwiceUntilBothMatch) {
  ScopedEnv old("SCRIPTED_PINENTRY_NO_REPEAT", "1");
  for (const char* a : {"PIN first", "PIN frist", "PIN second", "PIN second"}) pinentry_.answer(a);
  PinentryRequest r;
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

TEST_F(PinentryClientTest, ProgramIsChosenOnceAtConstruction) {
  PinentryClient client(5);
  ASSERT_EQ(client.program(), test::scriptedPinentryPath());
  // What the environment says afterwards is never looked at again.
  const std::string marker = dir_.file("marker");
  ScopedEnv program("CASKEL_PINENTRY",
                    writeExecutable(dir_.file("pinentry"), 0700, ": > '" + marker + "'\n"));
  ScopedEnv path("PATH", dir_.path());
  pinentry_.answer("PIN x");
  EXPECT_EQ(client.getPassphrase({}).status, Status::ok);
  EXPECT_EQ(pinentry_.promptCount(), 1);
  EXPECT_NE(::access(marker.c_str(), F_OK), 0);
}

TEST_F(PinentryClientTest, PinentryThatQuitsAfterGreetingCannotKillTheServer) {
  // It answers ahead and is gone while we still send: that must be EPIPE, never a SIGPIPE.
  PinentryClient quitter(
      writeExecutable(dir_.file("quitter"), 0700, "printf 'OK hello\\nOK\\nOK\\nOK\\n'\nexit 0\n"), 5);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(quitter.getPassphrase({}).status, Status::unavailable);
}

TEST_F(PinentryClientTest, PassesTheServersOwnTerminal) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master) | ::unlockpt(master), 0);
  std::string slaveName = ::ptsname(master);
  int slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  int savedStdin = ::dup(STDIN_FILENO);
  ::dup2(slave, STDIN_FILENO);
  ScopedEnv term("TERM", "xterm-256color");
  pinentry_.answer("PIN x");
  Status status = client_.getPassphrase({}).status;
  ::dup2(savedStdin, STDIN_FILENO);
  for (int fd : {savedStdin, slave, master}) ::close(fd);
  EXPECT_EQ(status, Status::ok);
  EXPECT_EQ(pinentry_.prompts().at(0)["ttyname"], slaveName);
}

using namespace std::chrono_literals;

// A real vault (at the cheapest key derivation) whose passphrase is "right".
class PassphraseAuthenticatorTest : public ::testing::Test {
 protected:
  PassphraseAuthenticatorTest() {
    prompt_->defaultAnswer = "right";
    std::shared_ptr<const VaultKey> key;
    EXPECT_EQ(vault_->create(SecretString(std::string_view("right")), key), VaultKeyring::Status::ok);
  }
  AuthOutcome evaluate(const Requester& who, double window = 30, PassphraseAuthenticator* auth = nullptr) {
    std::shared_ptr<const VaultKey> key;
    AuthOutcome outcome = (auth ? *auth : auth_).evaluate("Read \"acme/KEY\"", who, window, key);
    EXPECT_EQ(outcome == AuthOutcome::success, key != nullptr);
    return outcome;
  }
  std::shared_ptr<Vault> vaultAt(const std::string& name, VaultOptions options = test::cheapVaultOptions()) {
    return std::make_shared<Vault>(dir_.file(name), options);
  }

  std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::time_point{} + 1000h;
  test::TempDir dir_;
  std::shared_ptr<Vault> vault_ = vaultAt("vault.db");
  std::shared_ptr<test::ListPrompt> prompt_ = std::make_shared<test::ListPrompt>();
  PassphraseAuthenticator auth_{vault_, prompt_, [this] { return now_; }};
  const Requester agent_{4242, 1700000000.5};
  const Requester terminal_{777, 1700000001.25};
};

TEST_F(PassphraseAuthenticatorTest, ReuseWindowCoversOnlyTheSameRequesterForItsLengthUntilALock) {
  ASSERT_EQ(evaluate(terminal_), AuthOutcome::success);
  now_ += 29s;
  EXPECT_EQ(evaluate(terminal_), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 1);
  // A yes given to the user's terminal is never a yes for the agent.
  EXPECT_EQ(evaluate(agent_), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 2);
  // ...and the window counts from the last real unlock, not from reuses.
  now_ += 20s;
  EXPECT_EQ(evaluate(agent_), AuthOutcome::success);
  now_ += 20s;
  EXPECT_EQ(evaluate(agent_), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 3);
  EXPECT_EQ(evaluate(agent_, 0), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 4);

  // The same process asking from another terminal, or served as an agent, is another
  // requester; and a lock ends the window for everyone.
  const Requester asAgent{777, 1700000001.25, 0, true};
  ASSERT_EQ(evaluate(terminal_), AuthOutcome::success);
  EXPECT_EQ(evaluate(Requester{777, 1700000001.25, 34817, false}), AuthOutcome::success);
  EXPECT_EQ(evaluate(asAgent), AuthOutcome::success);
  EXPECT_EQ(evaluate(asAgent), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 7);
  auth_.endReuseWindow();
  EXPECT_EQ(evaluate(asAgent), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 8);
}

TEST_F(PassphraseAuthenticatorTest, LastKeyIsDroppedOnceNoWindowCanCoverIt) {
  std::shared_ptr<const VaultKey> key;
  ASSERT_EQ(auth_.evaluate("r", agent_, 30, key), AuthOutcome::success);
  std::weak_ptr<const VaultKey> weak = std::exchange(key, nullptr);
  EXPECT_FALSE(weak.expired());  // kept for reuse
  now_ += std::chrono::seconds(static_cast<int>(PassphraseAuthenticator::kMaxReuseWindow) + 1);
  // Even a caller asking for a huge window gets no reuse past the limit.
  prompt_->defaultAnswer = "CANCEL";
  EXPECT_EQ(evaluate(agent_, 100000), AuthOutcome::canceled);
  EXPECT_TRUE(weak.expired());
}

// The description reaching the prompt is the keychain's first-save test's.
TEST_F(PassphraseAuthenticatorTest, ThreeWrongPassphrasesFailWithTheErrorShownOnRetries) {
  prompt_->answers = {"nope1", "nope2", "nope3"};
  EXPECT_EQ(evaluate(agent_), AuthOutcome::failed);
  ASSERT_EQ(prompt_->asked.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const PinentryRequest& r = prompt_->asked[i];
    EXPECT_EQ(r.error, i == 0 ? "" : PassphraseAuthenticator::kWrongPassphraseText);
    EXPECT_FALSE(r.repeat);
    EXPECT_EQ((r.title + r.description + r.prompt + r.error).find("nope"), std::string::npos);  // no echo
  }
  // A failure opens no reuse window; the right one on a later evaluation succeeds.
  EXPECT_EQ(evaluate(agent_), AuthOutcome::success);
  EXPECT_EQ(prompt_->count(), 4);
}

TEST_F(PassphraseAuthenticatorTest, CancelUnavailableAndDamagedVaultAreTheirOwnOutcomes) {
  prompt_->answers = {"wrong", "CANCEL", "UNAVAILABLE"};
  EXPECT_EQ(evaluate(agent_), AuthOutcome::canceled);
  EXPECT_EQ(evaluate(agent_), AuthOutcome::unavailable);
  test::rawSql(vault_->path(), "UPDATE meta SET format = 2");
  EXPECT_EQ(evaluate(agent_), AuthOutcome::keyUnusable);
}

TEST_F(PassphraseAuthenticatorTest, NewVaultAsksTwiceAndRefusesAnEmptyPassphrase) {
  std::shared_ptr<Vault> fresh = vaultAt("fresh.db"), never = vaultAt("never.db");
  PassphraseAuthenticator creating(fresh, prompt_), refused(never, prompt_);
  prompt_->answers = {"", "fresh"};
  EXPECT_EQ(evaluate(agent_, 30, &creating), AuthOutcome::success);
  ASSERT_EQ(prompt_->asked.size(), 2u);
  EXPECT_TRUE(prompt_->asked[0].repeat);
  EXPECT_EQ(prompt_->asked[0].description,
            std::string("Read \"acme/KEY\"\n\n") + PassphraseAuthenticator::kNewVaultText);
  EXPECT_EQ(prompt_->asked[0].error, "");
  EXPECT_EQ(prompt_->asked[1].error, PassphraseAuthenticator::kEmptyPassphraseText);
  std::shared_ptr<const VaultKey> key;
  EXPECT_EQ(fresh->unlock(SecretString(std::string_view("fresh")), key), VaultKeyring::Status::ok);

  prompt_->answers = {"", "", ""};
  EXPECT_EQ(evaluate(terminal_, 30, &refused), AuthOutcome::failed);
  EXPECT_FALSE(never->exists());
}

TEST_F(PassphraseAuthenticatorTest, CanEvaluateNeedsAPromptAndAVault) {
  EXPECT_TRUE(auth_.canEvaluate());
  EXPECT_TRUE(PassphraseAuthenticator(vaultAt("new.db"), prompt_).canEvaluate());
  VaultOptions readOnly = test::cheapVaultOptions();
  readOnly.readOnly = true;
  EXPECT_FALSE(PassphraseAuthenticator(vaultAt("new.db", readOnly), prompt_).canEvaluate());
  prompt_->isAvailable = false;
  EXPECT_FALSE(auth_.canEvaluate());
}

TEST_F(PassphraseAuthenticatorTest, ConcurrentEvaluationsShowOnePromptAtATime) {
  prompt_->holdFor = 30ms;
  std::vector<std::thread> threads;
  std::atomic<int> successes{0};
  // Four requesters, then four callers of one requester: whoever waits behind the first
  // prompt of that one reuses its answer.
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      if (evaluate(i < 4 ? Requester{100 + i, 1.0} : Requester{500, 2.0}) == AuthOutcome::success)
        ++successes;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(successes, 8);
  EXPECT_EQ(prompt_->maxOpen, 1);
  EXPECT_GE(prompt_->count(), 5);
}

}  // namespace
}  // namespace caskel
