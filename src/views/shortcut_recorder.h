#pragma once

#include <Qt>
#include <cstdint>
#include <optional>

#include "app/hotkey_shortcut.h"

namespace caskel {

// The stored key code of a Qt key: letters, digits, Space, Return, Esc and Tab. A digit held
// with Shift arrives as its US-layout symbol (Shift+1 is Qt::Key_Exclam) and still names the
// digit's key. Nothing for other keys.
std::optional<uint32_t> hotkeyKeyCode(int qtKey);

// Ctrl -> 256, Shift -> 512, Alt -> 2048, Meta (Super) -> 4096; other flags are ignored.
uint32_t hotkeyModifiers(Qt::KeyboardModifiers modifiers);

// A key press as a shortcut, when the key has a stored code.
std::optional<HotkeyShortcut> recordedShortcut(int qtKey, Qt::KeyboardModifiers modifiers);

}  // namespace caskel
