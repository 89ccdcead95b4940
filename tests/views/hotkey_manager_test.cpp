#include "views/hotkey_manager.h"

#include <QPushButton>
#include <tuple>

#include "app/hotkey_shortcut.h"
#include "platform/qt/portal_hotkey.h"
#include "platform/qt/x11_hotkey_grab.h"
#include "views/settings_view.h"
#include "views/views_fixture.h"

namespace caskel {
namespace {

TEST(X11HotkeyGrab, StoredKeyCodesBecomeKeysymsAndServerKeycodes) {
  const std::tuple<uint32_t, std::optional<uint32_t>> keys[] = {
      {0, 0x61},  {12, 0x71},   {46, 0x6d},   {18, 0x31},   {29, 0x30},          {25, 0x39},
      {49, 0x20}, {36, 0xff0d}, {53, 0xff1b}, {48, 0xff09}, {122, std::nullopt},
  };
  for (const auto& [code, keysym] : keys) EXPECT_EQ(x11KeysymOf(hotkeyKeyName(code)), keysym) << code;

  // Key codes 10..13, two levels each: "1 !", "q Q", "& 1" (a layout with digits shifted), "a A".
  const std::vector<uint32_t> mapping = {0x31, 0x21, 0x71, 0x51, 0x26, 0x31, 0x61, 0x41};
  EXPECT_EQ(x11KeycodesOf(0x31, 10, 2, mapping), std::vector<uint8_t>{10});  // unshifted wins
  EXPECT_EQ(x11KeycodesOf(0x71, 10, 2, mapping), std::vector<uint8_t>{11});
  EXPECT_EQ(x11KeycodesOf(0x21, 10, 2, mapping), std::vector<uint8_t>{10});  // shifted only
  EXPECT_TRUE(x11KeycodesOf(0xff0d, 10, 2, mapping).empty());
}

TEST(PortalHotkey, TriggerTextFollowsTheShortcutsConvention) {
  EXPECT_EQ(portalTrigger({"1", true, true, false, false}), "CTRL+SHIFT+1");
  EXPECT_EQ(portalTrigger({"Q", true, false, true, true}), "CTRL+ALT+LOGO+q");
  EXPECT_EQ(portalTrigger({"Space", true, true, false, false}), "CTRL+SHIFT+space");
  EXPECT_EQ(portalTrigger({"Esc", true, false, true, false}), "CTRL+ALT+Escape");
}

// Records each binding as text ("1+ctrl+shift"); refuses as the X server does when told to.
struct FakeGlobalHotkey : GlobalHotkey {
  std::string mechanism() const override { return "X11 key grab"; }
  std::optional<std::string> bind(const GlobalKey& key, std::function<void()> onPress) override {
    bound.push_back(key.key + (key.ctrl ? "+ctrl" : "") + (key.shift ? "+shift" : "") +
                    (key.alt ? "+alt" : "") + (key.super ? "+super" : ""));
    if (refuse) return "10";
    pressed = std::move(onPress);
    return std::nullopt;
  }
  void unbind() override { ++unbinds; }
  std::vector<std::string> bound;
  std::function<void()> pressed;
  bool refuse = false;
  int unbinds = 0;
};

class HotkeyManagerTest : public ViewsFixture {
 protected:
  FakeGlobalHotkey* fake = new FakeGlobalHotkey;
  HotkeyManager manager{defaults, mainQueue, std::unique_ptr<GlobalHotkey>(fake)};
};

TEST_F(HotkeyManagerTest, BindsTheStoredShortcutAndTriggersOnTheMainQueue) {
  int triggers = 0;
  manager.onTrigger = [&] { ++triggers; };
  manager.registerHotkey();
  EXPECT_EQ(fake->bound, std::vector<std::string>{"1+ctrl+shift"});  // nothing stored: the default
  fake->pressed();
  EXPECT_EQ(triggers, 0);  // not inside the window system's event delivery
  mainQueue.runReady();
  EXPECT_EQ(triggers, 1);

  manager.update(12, HotkeyShortcut::kCtrl | HotkeyShortcut::kAlt | HotkeyShortcut::kSuper);
  EXPECT_EQ(defaults.integerValue("caskel.hotkey.keyCode"), 12);
  EXPECT_EQ(fake->unbinds, 1);
  EXPECT_EQ(fake->bound.back(), "Q+ctrl+alt+super");
  manager.unregister();
  manager.unregister();
  EXPECT_EQ(fake->unbinds, 2);
}

// A refusal is one line and an inactive shortcut, which Settings explains; a recorded shortcut
// is bound at once.
TEST_F(HotkeyManagerTest, SettingsShowsHowTheShortcutArrivesAndRebindsARecordedOne) {
  manager.registerHotkey();
  services().hotkey = &manager;
  SettingsView view(services(), false);
  auto* mechanism = view.findChild<QLabel*>("shortcutMechanism");
  EXPECT_EQ(mechanism->text(), "Active through the X11 key grab");

  fake->refuse = true;
  findByText<QPushButton>(view, "Change")->click();
  testing::internal::CaptureStdout();
  QTest::keyClick(&view, Qt::Key_K, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Caskel: failed to register hotkey: 10\n");
  EXPECT_EQ(fake->bound.back(), "K+ctrl+shift");
  EXPECT_FALSE(manager.isRegistered());
  EXPECT_TRUE(mechanism->text().startsWith("Another program holds this shortcut"));

  HotkeyManager none(defaults, mainQueue, nullptr);
  services().hotkey = &none;
  SettingsView bare(services(), false);
  EXPECT_TRUE(
      bare.findChild<QLabel*>("shortcutMechanism")->text().contains("caskel-app --toggle-quick-access"));
}

}  // namespace
}  // namespace caskel
