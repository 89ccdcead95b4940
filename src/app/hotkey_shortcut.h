#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace caskel {

class DefaultsStore;

// The quick-access shortcut as it is stored: a virtual key code of the classic hot-key table
// and a modifier mask in its four bits, so that a stored shortcut keeps its meaning. On Linux
// the bits stand for Ctrl (Command), Shift, Alt (Option) and Super (Control).
struct HotkeyShortcut {
  static constexpr uint32_t kCtrl = 256;
  static constexpr uint32_t kShift = 512;
  static constexpr uint32_t kAlt = 2048;
  static constexpr uint32_t kSuper = 4096;
  static constexpr uint32_t kDefaultKeyCode = 18;  // the "1" key
  static constexpr uint32_t kDefaultModifiers = kCtrl | kShift;

  uint32_t keyCode = kDefaultKeyCode;
  uint32_t modifiers = kDefaultModifiers;

  // Stored numbers as read; a missing value, 0 or one outside 32 bits gives the default.
  static HotkeyShortcut fromStored(std::optional<int64_t> keyCode, std::optional<int64_t> modifiers);

  bool isDefault() const { return keyCode == kDefaultKeyCode && modifiers == kDefaultModifiers; }
  bool operator==(const HotkeyShortcut&) const = default;
};

// "A".."Z", "0".."9", "Space", "Return", "Esc", "Tab"; "?" for any other code.
std::string_view hotkeyKeyName(uint32_t keyCode);

// The held modifiers in the order Super, Ctrl, Alt, Shift, then the key name, joined by "+":
// "Ctrl+Shift+1".
std::string hotkeyDisplayText(const HotkeyShortcut& shortcut);

// What the recorder takes: Ctrl and at least one other modifier, on a key with a name. Key
// code 0 (A) is refused as well: the stored encoding reads 0 as "no key" and would silently
// turn the recorded shortcut into the default key.
bool isAcceptableHotkey(const HotkeyShortcut& shortcut);

HotkeyShortcut readHotkeyShortcut(DefaultsStore& defaults);
void writeHotkeyShortcut(DefaultsStore& defaults, const HotkeyShortcut& shortcut);

}  // namespace caskel
