#pragma once

#include <QAbstractNativeEventFilter>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/global_hotkey.h"

struct xcb_connection_t;

namespace caskel {

// The X keysym of a key name of the stored shortcut ("A" -> XK_a, "1" -> XK_1, "Esc" ->
// XK_Escape); nothing for a name outside the table.
std::optional<uint32_t> x11KeysymOf(std::string_view keyName);

// The key codes that produce `keysym`, from a keyboard mapping as the server hands it out
// (`perKeycode` keysyms for each code from `minKeycode` on): those with it unshifted, else
// those with it at any level (a layout that puts digits on the shifted level).
std::vector<uint8_t> x11KeycodesOf(uint32_t keysym, uint8_t minKeycode, uint8_t perKeycode,
                                   const std::vector<uint32_t>& keysyms);

// The shortcut as a passive grab on the root windows of the application's X connection, once
// for each state of NumLock (Mod2) and CapsLock (Lock), so that neither stops the shortcut.
// Key presses reach it through a native event filter on the Qt event loop. Main thread only.
class X11HotkeyGrab final : public GlobalHotkey, private QAbstractNativeEventFilter {
 public:
  // Over the application's own X connection; nothing when Qt does not run on X11.
  static std::unique_ptr<X11HotkeyGrab> forApplication();
  // Over `connection`, which outlives this object.
  explicit X11HotkeyGrab(xcb_connection_t* connection);
  ~X11HotkeyGrab() override;

  std::string mechanism() const override { return "X11 key grab"; }
  std::optional<std::string> bind(const GlobalKey& key, std::function<void()> pressed) override;
  void unbind() override;

 private:
  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
  std::vector<uint8_t> keycodesOf(uint32_t keysym) const;
  void ungrabAll();

  xcb_connection_t* connection_;
  std::vector<uint32_t> roots_;
  std::vector<uint8_t> keycodes_;
  uint16_t modifiers_ = 0;
  std::function<void()> pressed_;
  bool filtering_ = false;
  // X repeats a held key as release + press with one timestamp; such a press is no new press.
  uint32_t lastReleaseTime_ = 0;
  uint8_t lastReleaseKey_ = 0;
};

// The shortcut mechanism this desktop offers: the X11 grab under X11, else the desktop
// portal's global shortcuts where the session has them, else nothing (the user binds
// `caskel-app --toggle-quick-access` in the desktop's keyboard settings).
std::unique_ptr<GlobalHotkey> systemGlobalHotkey();

}  // namespace caskel
