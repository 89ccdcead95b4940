#include "app/hotkey_shortcut.h"

#include <gtest/gtest.h>

namespace caskel {
namespace {

TEST(HotkeyShortcut, StoredNumbersAndDisplayText) {
  struct Case {
    std::optional<int64_t> keyCode, modifiers;
    const char* text;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, "Ctrl+Shift+1"},
      {0, 0, "Ctrl+Shift+1"},  // 0 counts as missing
      {12, 4352, "Super+Ctrl+Q"},
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

TEST(HotkeyShortcut, RecorderAcceptsCtrlWithAnotherModifierOnANamedKey) {
  struct Case {
    uint32_t keyCode, modifiers;
    bool accepted;
  };
  const Case cases[] = {
      {40, 256 | 512, true}, {40, 256 | 2048, true},  {40, 256 | 4096, true},
      {40, 256, false},      {40, 512 | 2048, false}, {40, 4096 | 512, false},
      {122, 768, false},     {0, 768, false},         {36, 256 | 2048, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isAcceptableHotkey({c.keyCode, c.modifiers}), c.accepted) << c.keyCode << " " << c.modifiers;
  }
}

}  // namespace
}  // namespace caskel
