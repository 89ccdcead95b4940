// A pinentry that gives no answer is not a person saying no: the client says why it got none.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/pinentry_client.h"
#include "support/scripted_pinentry.h"
#include "support/test_env.h"

namespace caskel {
namespace {

using test::ScopedEnv;
using test::TempDir;
using Status = PinentryReply::Status;

PinentryRequest question() {
  PinentryRequest r;
  r.description = "Read \"org/p/K\"";
  return r;
}

// A pinentry (a shell script) that greets, agrees to everything and answers GETPIN with `err`,
// as a real one does when it has nowhere to show its dialog or the person cancels.
std::string refusingPinentry(const TempDir& dir, const std::string& name, const std::string& err) {
  std::string path = dir.file(name);
  test::writeText(path,
                  "#!/bin/sh\necho 'OK hello'\nwhile read -r cmd rest; do\n  case \"$cmd\" in\n"
                  "    GETPIN) echo '" +
                      err +
                      "' ;;\n    BYE) echo OK; exit 0 ;;\n    *) echo OK ;;\n"
                      "  esac\ndone\n");
  ::chmod(path.c_str(), 0700);
  return path;
}

TEST(PinentryReason, EveryWayOfGettingNoAnswerSaysWhy) {
  TempDir dir;
  test::ScriptedPinentry scripted(dir.path());
  const std::string scriptedPath = test::scriptedPinentryPath();
  scripted.installInProcess();
  scripted.answer("CRASH");
  scripted.answer("GARBAGE");
  const std::string noTty =
      refusingPinentry(dir, "no-tty", "ERR 83918950 Inappropriate ioctl for device <Pinentry>");
  // Without a display the failure is put in the words the person can act on.
  ScopedEnv display("DISPLAY", std::nullopt);
  ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
  const bool terminal = ::isatty(STDIN_FILENO);
  struct Case {
    PinentryClient client;
    std::string reason;
  };
  Case cases[] = {
      {PinentryClient(PinentryClient::Program{}), "no pinentry program found"},
      {PinentryClient(PinentryClient::Program{PinentryClient::Program::Status::relativeSetting, {}}),
       "CASKEL_PINENTRY is not an absolute path"},
      {PinentryClient(dir.file("gone")), "pinentry could not be started (No such file or directory)"},
      {PinentryClient(scriptedPath), "pinentry exited without answering"},
      {PinentryClient(scriptedPath), "pinentry does not speak the Assuan protocol"},
      {PinentryClient(noTty),
       terminal ? "pinentry failed: Inappropriate ioctl" : "no display and no terminal"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.reason);
    PinentryReply reply = c.client.getPassphrase(question());
    EXPECT_EQ(reply.status, Status::unavailable);
    EXPECT_EQ(reply.reason.rfind(c.reason, 0), 0u) << reply.reason;
    if (c.client.program().empty()) {
      EXPECT_EQ(c.client.unavailableReason(), c.reason);
    }
  }
}

TEST(PinentryReason, ThePinentrysOwnErrorIsShownWhenThereIsADisplay) {
  TempDir dir;
  ScopedEnv display("DISPLAY", ":99");
  PinentryClient client(refusingPinentry(dir, "broken", "ERR 83918849 Kein Gerät <Pinentry>"));
  PinentryReply reply = client.getPassphrase(question());
  EXPECT_EQ(reply.status, Status::unavailable);
  // Only plain ASCII of the program's text is passed on.
  EXPECT_EQ(reply.reason, "pinentry failed: Kein Ger??t <Pinentry>");
}

// The person's no, or the dialog's own time-out, stays a cancel.
TEST(PinentryReason, DeclinesAreCancelsWithoutAReason) {
  TempDir dir;
  const std::pair<std::string, std::string> declines[] = {
      {"cancel", "ERR 83886179 Operation cancelled <Pinentry>"},
      {"timeout", "ERR 83886142 Timeout <Pinentry>"},
  };
  for (const auto& [name, err] : declines) {
    SCOPED_TRACE(err);
    PinentryClient client(refusingPinentry(dir, name, err));
    PinentryReply reply = client.getPassphrase(question());
    EXPECT_EQ(reply.status, Status::canceled);
    EXPECT_TRUE(reply.reason.empty());
  }
}

}  // namespace
}  // namespace caskel
