#include "app/hotkey_shortcut.h"

#include <utility>

#include "platform/defaults_store.h"

namespace caskel {

namespace {

struct KeyName {
  uint32_t code;
  const char* name;
};

constexpr KeyName kKeyNames[] = {
    {0, "A"},  {1, "S"},  {2, "D"},  {3, "F"},  {4, "H"},      {5, "G"},       {6, "Z"},    {7, "X"},
    {8, "C"},  {9, "V"},  {11, "B"}, {12, "Q"}, {13, "W"},     {14, "E"},      {15, "R"},   {16, "Y"},
    {17, "T"}, {18, "1"}, {19, "2"}, {20, "3"}, {21, "4"},     {22, "6"},      {23, "5"},   {25, "9"},
    {26, "7"}, {28, "8"}, {29, "0"}, {31, "O"}, {32, "U"},     {34, "I"},      {35, "P"},   {37, "L"},
    {38, "J"}, {40, "K"}, {45, "N"}, {46, "M"}, {49, "Space"}, {36, "Return"}, {53, "Esc"}, {48, "Tab"},
};

uint32_t storedOr(std::optional<int64_t> value, uint32_t fallback) {
  if (!value || *value <= 0 || *value > int64_t{UINT32_MAX}) return fallback;
  return static_cast<uint32_t>(*value);
}

}  // namespace

HotkeyShortcut HotkeyShortcut::fromStored(std::optional<int64_t> keyCode, std::optional<int64_t> modifiers) {
  return {storedOr(keyCode, kDefaultKeyCode), storedOr(modifiers, kDefaultModifiers)};
}

std::string_view hotkeyKeyName(uint32_t keyCode) {
  for (const KeyName& key : kKeyNames) {
    if (key.code == keyCode) return key.name;
  }
  return "?";
}

std::string hotkeyDisplayText(const HotkeyShortcut& shortcut) {
  static constexpr std::pair<uint32_t, const char*> kOrder[] = {
      {HotkeyShortcut::kSuper, "Super"},
      {HotkeyShortcut::kCtrl, "Ctrl"},
      {HotkeyShortcut::kAlt, "Alt"},
      {HotkeyShortcut::kShift, "Shift"},
  };
  std::string text;
  for (const auto& [bit, name] : kOrder) {
    if (shortcut.modifiers & bit) text.append(name).append("+");
  }
  text += hotkeyKeyName(shortcut.keyCode);
  return text;
}

bool isAcceptableHotkey(const HotkeyShortcut& shortcut) {
  constexpr uint32_t others = HotkeyShortcut::kShift | HotkeyShortcut::kAlt | HotkeyShortcut::kSuper;
  return (shortcut.modifiers & HotkeyShortcut::kCtrl) && (shortcut.modifiers & others) &&
         shortcut.keyCode != 0 && hotkeyKeyName(shortcut.keyCode) != "?";
}

HotkeyShortcut readHotkeyShortcut(DefaultsStore& defaults) {
  return HotkeyShortcut::fromStored(defaults.integerValue(defaults_keys::kHotkeyKeyCode),
                                    defaults.integerValue(defaults_keys::kHotkeyModifiers));
}

void writeHotkeyShortcut(DefaultsStore& defaults, const HotkeyShortcut& shortcut) {
  defaults.setInteger(defaults_keys::kHotkeyKeyCode, shortcut.keyCode);
  defaults.setInteger(defaults_keys::kHotkeyModifiers, shortcut.modifiers);
}

}  // namespace caskel
