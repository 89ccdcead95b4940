#include "platform/qt/x11_hotkey_grab.h"

#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdlib>

#include "platform/qt/portal_hotkey.h"

namespace caskel {

namespace {

// NumLock and CapsLock: a grab is made for every combination of them.
constexpr uint16_t kIgnoredLocks[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2,
                                      XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};
constexpr uint16_t kShortcutModifiers =
    XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;

uint16_t modifierMask(const GlobalKey& key) {
  uint16_t mask = 0;
  if (key.ctrl) mask |= XCB_MOD_MASK_CONTROL;
  if (key.shift) mask |= XCB_MOD_MASK_SHIFT;
  if (key.alt) mask |= XCB_MOD_MASK_1;
  if (key.super) mask |= XCB_MOD_MASK_4;
  return mask;
}

}  // namespace

std::optional<uint32_t> x11KeysymOf(std::string_view keyName) {
  if (keyName.size() == 1) {
    const char c = keyName[0];
    if (c >= 'A' && c <= 'Z') return static_cast<uint32_t>(c - 'A' + 'a');  // XK_a..XK_z
    if (c >= '0' && c <= '9') return static_cast<uint32_t>(c);              // XK_0..XK_9
    return std::nullopt;
  }
  if (keyName == "Space") return 0x0020;   // XK_space
  if (keyName == "Return") return 0xff0d;  // XK_Return
  if (keyName == "Esc") return 0xff1b;     // XK_Escape
  if (keyName == "Tab") return 0xff09;     // XK_Tab
  return std::nullopt;
}

std::vector<uint8_t> x11KeycodesOf(uint32_t keysym, uint8_t minKeycode, uint8_t perKeycode,
                                   const std::vector<uint32_t>& keysyms) {
  std::vector<uint8_t> unshifted;
  std::vector<uint8_t> anyLevel;
  if (perKeycode == 0) return unshifted;
  const size_t codes = keysyms.size() / perKeycode;
  for (size_t i = 0; i < codes && minKeycode + i <= 255; ++i) {
    const auto code = static_cast<uint8_t>(minKeycode + i);
    for (size_t level = 0; level < perKeycode; ++level) {
      if (keysyms[i * perKeycode + level] != keysym) continue;
      if (level == 0) unshifted.push_back(code);
      if (anyLevel.empty() || anyLevel.back() != code) anyLevel.push_back(code);
    }
  }
  return unshifted.empty() ? anyLevel : unshifted;
}

std::unique_ptr<X11HotkeyGrab> X11HotkeyGrab::forApplication() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (!x11 || !x11->connection()) return nullptr;
  return std::make_unique<X11HotkeyGrab>(x11->connection());
}

X11HotkeyGrab::X11HotkeyGrab(xcb_connection_t* connection) : connection_(connection) {
  for (auto it = xcb_setup_roots_iterator(xcb_get_setup(connection_)); it.rem; xcb_screen_next(&it)) {
    roots_.push_back(it.data->root);
  }
}

X11HotkeyGrab::~X11HotkeyGrab() {
  unbind();
}

std::vector<uint8_t> X11HotkeyGrab::keycodesOf(uint32_t keysym) const {
  const xcb_setup_t* setup = xcb_get_setup(connection_);
  const uint8_t first = setup->min_keycode;
  const auto count = static_cast<uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  xcb_get_keyboard_mapping_reply_t* reply = xcb_get_keyboard_mapping_reply(
      connection_, xcb_get_keyboard_mapping(connection_, first, count), nullptr);
  if (!reply) return {};
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
  const int length = xcb_get_keyboard_mapping_keysyms_length(reply);
  std::vector<uint32_t> keysyms(syms, syms + (length > 0 ? length : 0));
  const uint8_t perKeycode = reply->keysyms_per_keycode;
  std::free(reply);
  return x11KeycodesOf(keysym, first, perKeycode, keysyms);
}

std::optional<std::string> X11HotkeyGrab::bind(const GlobalKey& key, std::function<void()> pressed) {
  unbind();
  const std::optional<uint32_t> keysym = x11KeysymOf(key.key);
  // BadValue: what the server answers a grab of a key it does not have.
  const std::string noSuchKey = std::to_string(XCB_VALUE);
  if (!keysym) return noSuchKey;
  std::vector<uint8_t> keycodes = keycodesOf(*keysym);
  if (keycodes.empty()) return noSuchKey;

  const uint16_t modifiers = modifierMask(key);
  // All requests first, then the answers: one round trip instead of one per grab.
  std::vector<xcb_void_cookie_t> cookies;
  for (uint32_t root : roots_) {
    for (uint8_t code : keycodes) {
      for (uint16_t locks : kIgnoredLocks) {
        // owner_events false: the press is always reported on the root window, never to a
        // window of ours that has the focus (where it would be typed).
        cookies.push_back(xcb_grab_key_checked(connection_, 0, root, modifiers | locks, code,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
      }
    }
  }
  std::optional<std::string> failure;
  for (xcb_void_cookie_t cookie : cookies) {
    if (xcb_generic_error_t* error = xcb_request_check(connection_, cookie)) {
      if (!failure) failure = std::to_string(error->error_code);
      std::free(error);
    }
  }
  keycodes_ = std::move(keycodes);
  modifiers_ = modifiers;
  if (failure) {
    // Half a shortcut (some lock states only) would work by chance: none at all is clearer.
    ungrabAll();
    return failure;
  }
  pressed_ = std::move(pressed);
  if (!filtering_) {
    QCoreApplication::instance()->installNativeEventFilter(this);
    filtering_ = true;
  }
  return std::nullopt;
}

void X11HotkeyGrab::unbind() {
  if (filtering_) {
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
    filtering_ = false;
  }
  pressed_ = nullptr;
  ungrabAll();
}

void X11HotkeyGrab::ungrabAll() {
  if (keycodes_.empty()) return;
  for (uint32_t root : roots_) {
    for (uint8_t code : keycodes_) {
      for (uint16_t locks : kIgnoredLocks) xcb_ungrab_key(connection_, code, root, modifiers_ | locks);
    }
  }
  xcb_flush(connection_);
  keycodes_.clear();
}

bool X11HotkeyGrab::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t" || !pressed_) return false;
  auto* event = static_cast<xcb_generic_event_t*>(message);
  const uint8_t type = event->response_type & 0x7f;
  if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) return false;
  // Press and release share one layout.
  auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
  bool ours = false;
  for (uint8_t code : keycodes_) ours = ours || code == key->detail;
  if (!ours || (key->state & kShortcutModifiers) != modifiers_) return false;
  bool onRoot = false;
  for (uint32_t root : roots_) onRoot = onRoot || key->event == root;
  if (!onRoot) return false;
  if (type == XCB_KEY_RELEASE) {
    lastReleaseTime_ = key->time;
    lastReleaseKey_ = key->detail;
  } else if (key->time != lastReleaseTime_ || key->detail != lastReleaseKey_) {  // not auto-repeat
    pressed_();
  }
  // Qt still sees the event (it has no window for the root, so it goes nowhere): its time
  // becomes Qt's user time, without which the server refuses to focus the panel we open.
  return false;
}

std::unique_ptr<GlobalHotkey> systemGlobalHotkey() {
  if (auto grab = X11HotkeyGrab::forApplication()) return grab;
  return PortalHotkey::forSession();
}

}  // namespace caskel
