#include "app/hotkey_shortcut.h"

#include <gtest/gtest.h>

namespace caskel {
namespace {

// Which presses the recorder takes, the default shown when nothing is stored and a recorded
// Super+Ctrl+Q read back are the settings screen's test (the rules' only user).
TEST(HotkeyShortcut, StoredNumbersAndDisplayText) {
  struct Case {
    std::optional<int64_t> keyCode, modifiers;
    const char* text;
  };
  const Case cases[] = {
      {0, 0, "Ctrl+Shift+1"},  // 0 counts as missing
      {0, 4352, "Super+Ctrl+1"},
      {122, 768, "Ctrl+Shift+?"},
      {29, 256 | 512 | 2048 | 4096, "Super+Ctrl+Alt+Shift+0"},
      {40, 256 | 2048, "Ctrl+Alt+K"},
      {49, 768, "Ctrl+Shift+Space"},
      {53, 256 | 0x10000, "Ctrl+Esc"},  // unknown bits are not shown
      {-5, int64_t{1} << 40, "Ctrl+Shift+1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hotkeyDisplayText(HotkeyShortcut::fromStored(c.keyCode, c.modifiers)), c.text) << c.text;
  }
}

}  // namespace
}  // namespace caskel
