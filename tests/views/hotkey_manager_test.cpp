#include "views/hotkey_manager.h"

#include <QPushButton>
#include <tuple>

#include "app/hotkey_shortcut.h"
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
  EXPECT_TRUE(x11KeycodesOf(0x31, 10, 0, mapping).empty());
}

// A shortcut mechanism that records its bindings and refuses when told to.
class FakeGlobalHotkey : public GlobalHotkey {
 public:
  std::string mechanism() const override { return "X11 key grab"; }
  std::optional<std::string> bind(const GlobalKey& key, std::function<void()> pressed) override {
    bound.push_back(key);
    if (refuse) return "10";
    this->pressed = std::move(pressed);
    return std::nullopt;
  }
  void unbind() override {
    ++unbinds;
    pressed = nullptr;
  }
  std::vector<GlobalKey> bound;
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
  ASSERT_TRUE(manager.isRegistered());
  ASSERT_EQ(fake->bound.size(), 1u);
  const GlobalKey& first = fake->bound[0];
  EXPECT_EQ(std::tie(first.key, first.ctrl, first.shift, first.alt, first.super),
            std::make_tuple(std::string("1"), true, true, false, false));

  fake->pressed();
  EXPECT_EQ(triggers, 0);  // not inside the window system's event delivery
  mainQueue.runReady();
  EXPECT_EQ(triggers, 1);

  manager.update(12, HotkeyShortcut::kCtrl | HotkeyShortcut::kAlt | HotkeyShortcut::kSuper);
  EXPECT_EQ(defaults.integerValue("caskel.hotkey.keyCode"), 12);
  EXPECT_EQ(fake->unbinds, 1);
  const GlobalKey& second = fake->bound.back();
  EXPECT_EQ(std::tie(second.key, second.ctrl, second.shift, second.alt, second.super),
            std::make_tuple(std::string("Q"), true, false, true, true));
  EXPECT_EQ(manager.shortcutDisplay(), "Super+Ctrl+Alt+Q");

  manager.unregister();
  EXPECT_EQ(fake->unbinds, 2);
  EXPECT_FALSE(manager.isRegistered());
}

TEST_F(HotkeyManagerTest, RefusedShortcutSaysSoAndStaysInactive) {
  fake->refuse = true;
  testing::internal::CaptureStdout();
  manager.registerHotkey();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Caskel: failed to register hotkey: 10\n");
  EXPECT_FALSE(manager.isRegistered());
  manager.unregister();
  EXPECT_EQ(fake->unbinds, 0);  // nothing was bound
}

TEST_F(HotkeyManagerTest, SettingsShowsTheMechanismAndRegistersARecordedShortcut) {
  manager.registerHotkey();
  services().hotkey = &manager;
  SettingsView view(services(), false);
  view.show();
  auto* mechanism = view.findChild<QLabel*>("shortcutMechanism");
  EXPECT_EQ(mechanism->text(), "Active through the X11 key grab");

  fake->refuse = true;
  findByText<QPushButton>(view, "Change")->click();
  testing::internal::CaptureStdout();
  QTest::keyClick(&view, Qt::Key_K, Qt::ControlModifier | Qt::ShiftModifier);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(fake->bound.back().key, "K");
  EXPECT_TRUE(mechanism->text().contains("caskel-app --toggle-quick-access"));

  HotkeyManager none(defaults, mainQueue, nullptr);
  services().hotkey = &none;
  SettingsView bare(services(), false);
  EXPECT_TRUE(bare.findChild<QLabel*>("shortcutMechanism")->text().startsWith("This desktop offers"));
}

}  // namespace
}  // namespace caskel
