// Quick access on a real X server: the shortcut pressed with xdotool (also with NumLock and
// CapsLock on, and held by another client), the panel's focus, and its copies on the X
// clipboard as xclip reads them.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QProcess>
#include <QTest>
#include <functional>

#include "platform/qt/qt_clipboard.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/qt/x11_hotkey_grab.h"
#include "store/structured_value.h"
#include "support/app_parts.h"
#include "views/hotkey_manager.h"
#include "views/prompt_tracker.h"
#include "views/quick_access_panel.h"
#include "views/view_services.h"

namespace caskel {
namespace {

// Processes events (and `also`) until `done` holds or ten seconds passed.
bool waitUntil(const std::function<bool()>& done, const std::function<void()>& also = {}) {
  QDeadlineTimer deadline(10'000);
  while (!done() && !deadline.hasExpired()) {
    if (also) also();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return done();
}

// Runs a tool while this process keeps serving the X selections it owns; its standard output.
QByteArray runTool(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.start(program, arguments);
  waitUntil([&] { return process.state() == QProcess::NotRunning; });
  return process.readAllStandardOutput();
}

void pressKeys(const char* keys) {
  runTool("xdotool", {"key", keys});
}

class DesktopHotkey : public ::testing::Test {
 protected:
  QtMainQueue queue{QCoreApplication::instance()};
  test::TempDir dir;
  DefaultsStore defaults{dir.file("defaults.json")};
  HotkeyManager manager{defaults, queue, X11HotkeyGrab::forApplication()};
  int triggers = 0;
};

TEST_F(DesktopHotkey, ShortcutTriggersWithAndWithoutNumLockAndCapsLock) {
  manager.onTrigger = [this] { ++triggers; };
  manager.registerHotkey();
  ASSERT_EQ(manager.mechanism(), "X11 key grab");
  // A key of the test's own, pressed after the keys under test: once it arrived, so did they.
  std::unique_ptr<X11HotkeyGrab> marker = X11HotkeyGrab::forApplication();
  bool marked = false;
  ASSERT_EQ(marker->bind({"M", true, false, true, false}, [&] { marked = true; }), std::nullopt);
  auto triggersAfter = [&](const char* keys) {
    const int before = triggers;
    marked = false;
    pressKeys(keys);
    pressKeys("ctrl+alt+m");
    EXPECT_TRUE(waitUntil([&] { return marked; }));
    QCoreApplication::sendPostedEvents();
    return triggers - before;
  };
  // Each press counts once; a lock key is switched on before the press and off after it.
  for (const char* lock : {"", "", "Num_Lock", "Caps_Lock"}) {
    if (*lock) pressKeys(lock);
    EXPECT_EQ(triggersAfter("ctrl+shift+1"), 1) << lock;
    if (*lock) pressKeys(lock);
  }
  EXPECT_EQ(triggersAfter("ctrl+1"), 0);
  manager.update(40, 256 | 2048);  // Ctrl+Alt+K, and only that
  EXPECT_EQ(triggersAfter("ctrl+alt+k"), 1);
  EXPECT_EQ(triggersAfter("ctrl+shift+1"), 0);
}

TEST_F(DesktopHotkey, ShortcutHeldByAnotherClientIsRefused) {
  xcb_connection_t* other = xcb_connect(nullptr, nullptr);
  auto first = std::make_unique<X11HotkeyGrab>(other);
  ASSERT_EQ(first->bind({"1", true, true, false, false}, [] {}), std::nullopt);
  testing::internal::CaptureStdout();
  manager.registerHotkey();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Caskel: failed to register hotkey: 10\n");  // BadAccess
  EXPECT_FALSE(manager.isRegistered());
  first.reset();
  xcb_disconnect(other);
  manager.registerHotkey();  // free again
  EXPECT_TRUE(manager.isRegistered());
}

class DesktopQuickAccess : public ::testing::Test, public test::AppParts {
 protected:
  DesktopQuickAccess() {
    EXPECT_FALSE(keychain.save("acme/github", encodeLogin({"ann", "gh-pass"}),
                               SecretMetadata::fromJson(R"({"type":"login"})")));
    state->reload(nullptr);
    state->setHasLoaded(true);
    pump();
    timings.promptDelay = std::chrono::milliseconds(0);
    timings.clearDelay = std::chrono::milliseconds(100);
  }
  void pump() {
    worker.runReady();
    mainQueue.runReady();
  }
  // Opens the panel, waits for its prompt, and copies the first secret with Return.
  void copyFirst(QuickAccessPanel& panel) {
    panel.openPanel();
    EXPECT_TRUE(waitUntil([&] { return panel.view()->isUnlocked(); }, [this] { pump(); }));
    const int64_t before = qtClipboard.changeCount();
    QTest::keyClick(panel.view()->findChild<QLineEdit*>(), Qt::Key_Return);
    EXPECT_TRUE(waitUntil([&] { return qtClipboard.changeCount() != before; }, [this] { pump(); }));
  }
  QByteArray pasted() { return runTool("xclip", {"-o", "-selection", "clipboard"}); }

  QtClipboard qtClipboard;
  QtMainQueue queue{QCoreApplication::instance()};
  test::ManualQueue worker;
  PromptTracker prompts;
  ViewServices services{*state, keychain, audit, defaults, qtClipboard, queue, worker, prompts};
  QuickAccessTimings timings;
};

TEST_F(DesktopQuickAccess, CopyIsMarkedSecretAndClearedOnlyWhenStillOurs) {
  QuickAccessPanel panel(services, {}, timings);
  copyFirst(panel);
  EXPECT_TRUE(runTool("xclip", {"-o", "-selection", "clipboard", "-t", "TARGETS"})
                  .contains("x-kde-passwordManagerHint"));
  EXPECT_EQ(pasted(), "gh-pass");
  EXPECT_EQ(runTool("xclip", {"-o", "-selection", "primary"}), "");
  EXPECT_TRUE(waitUntil([&] { return pasted().isEmpty(); }));

  copyFirst(panel);
  QProcess other;  // in the foreground, so that it is this test's to end
  other.start("xclip", {"-i", "-selection", "clipboard", "-quiet"});
  other.write("from-elsewhere");
  other.closeWriteChannel();
  EXPECT_TRUE(waitUntil([&] { return pasted() == "from-elsewhere"; }));
  bool pastClear = false;  // queued behind the clear, which is due earlier
  queue.postAfter(std::chrono::milliseconds(300), [&] { pastClear = true; });
  EXPECT_TRUE(waitUntil([&] { return pastClear; }));
  EXPECT_EQ(pasted(), "from-elsewhere");
  other.kill();
  other.waitForFinished();
}

// The shortcut, pressed as the person would, opens the panel with the focus in its search
// field and closes it again. A window system without a window manager does not focus a window
// shown again, so each opening is a new window; every one must have the focus.
TEST_F(DesktopQuickAccess, TheShortcutOpensAFocusedPanelAndClosesIt) {
  timings.promptDelay = std::chrono::hours(1);  // no prompt: only the focus matters here
  QuickAccessPanel panel(services, {}, timings);
  HotkeyManager manager{defaults, queue, X11HotkeyGrab::forApplication()};
  manager.onTrigger = [&] { panel.toggle(); };
  manager.registerHotkey();
  for (int opening = 1; opening <= 3; ++opening) {
    pressKeys("ctrl+shift+1");
    EXPECT_TRUE(waitUntil([&] {
      return panel.isVisible() && panel.window()->isActiveWindow() &&
             QApplication::focusWidget() == panel.view()->findChild<QLineEdit*>();
    })) << opening;
    EXPECT_EQ(panel.window()->size(), QSize(300, 360));
    pressKeys("ctrl+shift+1");
    EXPECT_TRUE(waitUntil([&] { return !panel.isVisible(); })) << opening;
  }
}

}  // namespace
}  // namespace caskel
