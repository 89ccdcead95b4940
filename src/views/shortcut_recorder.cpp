#include "views/shortcut_recorder.h"

namespace caskel {

namespace {

struct KeyCode {
  int qtKey;
  uint32_t code;
};

constexpr KeyCode kKeyCodes[] = {
    {Qt::Key_A, 0},
    {Qt::Key_S, 1},
    {Qt::Key_D, 2},
    {Qt::Key_F, 3},
    {Qt::Key_H, 4},
    {Qt::Key_G, 5},
    {Qt::Key_Z, 6},
    {Qt::Key_X, 7},
    {Qt::Key_C, 8},
    {Qt::Key_V, 9},
    {Qt::Key_B, 11},
    {Qt::Key_Q, 12},
    {Qt::Key_W, 13},
    {Qt::Key_E, 14},
    {Qt::Key_R, 15},
    {Qt::Key_Y, 16},
    {Qt::Key_T, 17},
    {Qt::Key_1, 18},
    {Qt::Key_2, 19},
    {Qt::Key_3, 20},
    {Qt::Key_4, 21},
    {Qt::Key_6, 22},
    {Qt::Key_5, 23},
    {Qt::Key_9, 25},
    {Qt::Key_7, 26},
    {Qt::Key_8, 28},
    {Qt::Key_0, 29},
    {Qt::Key_O, 31},
    {Qt::Key_U, 32},
    {Qt::Key_I, 34},
    {Qt::Key_P, 35},
    {Qt::Key_L, 37},
    {Qt::Key_J, 38},
    {Qt::Key_K, 40},
    {Qt::Key_N, 45},
    {Qt::Key_M, 46},
    {Qt::Key_Space, 49},
    {Qt::Key_Return, 36},
    {Qt::Key_Escape, 53},
    {Qt::Key_Tab, 48},
    // Shift+Tab arrives as Backtab; shifted digits as the symbols of a US keyboard.
    {Qt::Key_Backtab, 48},
    {Qt::Key_Exclam, 18},
    {Qt::Key_At, 19},
    {Qt::Key_NumberSign, 20},
    {Qt::Key_Dollar, 21},
    {Qt::Key_AsciiCircum, 22},
    {Qt::Key_Percent, 23},
    {Qt::Key_ParenLeft, 25},
    {Qt::Key_Ampersand, 26},
    {Qt::Key_Asterisk, 28},
    {Qt::Key_ParenRight, 29},
};

}  // namespace

std::optional<uint32_t> hotkeyKeyCode(int qtKey) {
  for (const KeyCode& key : kKeyCodes) {
    if (key.qtKey == qtKey) return key.code;
  }
  return std::nullopt;
}

uint32_t hotkeyModifiers(Qt::KeyboardModifiers modifiers) {
  uint32_t mask = 0;
  if (modifiers & Qt::ControlModifier) mask |= HotkeyShortcut::kCtrl;
  if (modifiers & Qt::ShiftModifier) mask |= HotkeyShortcut::kShift;
  if (modifiers & Qt::AltModifier) mask |= HotkeyShortcut::kAlt;
  if (modifiers & Qt::MetaModifier) mask |= HotkeyShortcut::kSuper;
  return mask;
}

std::optional<HotkeyShortcut> recordedShortcut(int qtKey, Qt::KeyboardModifiers modifiers) {
  auto code = hotkeyKeyCode(qtKey);
  if (!code) return std::nullopt;
  return HotkeyShortcut{*code, hotkeyModifiers(modifiers)};
}

}  // namespace caskel
