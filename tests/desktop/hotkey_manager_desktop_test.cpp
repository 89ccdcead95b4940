// The quick-access shortcut on a real X server: key presses sent with xdotool.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <functional>

#include "platform/defaults_store.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/qt/x11_hotkey_grab.h"
#include "support/test_env.h"
#include "views/hotkey_manager.h"

namespace caskel {
namespace {

// Processes events until `done` holds or ten seconds passed.
bool waitUntil(const std::function<bool()>& done) {
  QDeadlineTimer deadline(10'000);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

void pressKeys(const char* keys) {
  QProcess xdotool;
  xdotool.start("xdotool", {"key", keys});
  ASSERT_TRUE(xdotool.waitForStarted()) << "xdotool";
  waitUntil([&] { return xdotool.state() == QProcess::NotRunning; });
}

class DesktopHotkey : public ::testing::Test {
 protected:
  DesktopHotkey() {
    manager.onTrigger = [this] { ++triggers; };
  }

  QtMainQueue queue{QCoreApplication::instance()};
  test::TempDir dir;
  DefaultsStore defaults{dir.file("defaults.json")};
  HotkeyManager manager{defaults, queue, X11HotkeyGrab::forApplication()};
  int triggers = 0;
};

TEST_F(DesktopHotkey, ShortcutTriggersWithAndWithoutNumLockAndCapsLock) {
  ASSERT_EQ(manager.mechanism(), "X11 key grab");
  manager.registerHotkey();
  ASSERT_TRUE(manager.isRegistered());
  // A key of the test's own, pressed after the keys under test: once it arrived, so did they.
  std::unique_ptr<X11HotkeyGrab> marker = X11HotkeyGrab::forApplication();
  bool marked = false;
  GlobalKey markerKey;
  markerKey.key = "M";
  markerKey.ctrl = markerKey.alt = true;
  ASSERT_EQ(marker->bind(markerKey, [&] { marked = true; }), std::nullopt);
  auto triggersAfter = [&](const char* keys) {
    const int before = triggers;
    marked = false;
    pressKeys(keys);
    pressKeys("ctrl+alt+m");
    EXPECT_TRUE(waitUntil([&] { return marked; }));
    QCoreApplication::sendPostedEvents();
    return triggers - before;
  };

  // Each press counts once; the lock keys are toggled on before and off after.
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, "plain"}, {nullptr, "again"}, {"Num_Lock", "NumLock on"}, {"Caps_Lock", "CapsLock on"}};
  for (const auto& [lock, what] : cases) {
    if (lock) pressKeys(lock);
    EXPECT_EQ(triggersAfter("ctrl+shift+1"), 1) << what;
    if (lock) pressKeys(lock);
  }
  // Other combinations on the same key are not ours.
  EXPECT_EQ(triggersAfter("ctrl+1"), 0);
  EXPECT_EQ(triggersAfter("ctrl+shift+alt+1"), 0);

  manager.unregister();
  EXPECT_EQ(triggersAfter("ctrl+shift+1"), 0);
  // A changed shortcut binds the new key only.
  manager.update(40, 256 | 2048);  // Ctrl+Alt+K
  EXPECT_EQ(triggersAfter("ctrl+alt+k"), 1);
  EXPECT_EQ(triggersAfter("ctrl+shift+1"), 0);
}

TEST_F(DesktopHotkey, ShortcutHeldByAnotherClientIsRefused) {
  xcb_connection_t* other = xcb_connect(nullptr, nullptr);
  ASSERT_EQ(xcb_connection_has_error(other), 0);
  {
    X11HotkeyGrab first(other);
    GlobalKey key;
    key.key = "1";
    key.ctrl = key.shift = true;
    ASSERT_EQ(first.bind(key, [] {}), std::nullopt);

    testing::internal::CaptureStdout();
    manager.registerHotkey();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Caskel: failed to register hotkey: 10\n");  // BadAccess
    EXPECT_FALSE(manager.isRegistered());
  }
  xcb_disconnect(other);
  // Once the other client let go, the shortcut can be had.
  manager.registerHotkey();
  EXPECT_TRUE(manager.isRegistered());
}

}  // namespace
}  // namespace caskel
