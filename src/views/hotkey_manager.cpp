#include "views/hotkey_manager.h"

#include <iostream>

#include "platform/defaults_store.h"

namespace caskel {

HotkeyManager::HotkeyManager(DefaultsStore& defaults, TaskQueue& mainQueue,
                             std::unique_ptr<GlobalHotkey> mechanism)
    : defaults_(defaults), mainQueue_(mainQueue), mechanism_(std::move(mechanism)) {}

HotkeyManager::~HotkeyManager() {
  *alive_ = false;
  unregister();
}

GlobalKey HotkeyManager::globalKeyOf(const HotkeyShortcut& shortcut) {
  GlobalKey key;
  key.key = std::string(hotkeyKeyName(shortcut.keyCode));
  key.ctrl = shortcut.modifiers & HotkeyShortcut::kCtrl;
  key.shift = shortcut.modifiers & HotkeyShortcut::kShift;
  key.alt = shortcut.modifiers & HotkeyShortcut::kAlt;
  key.super = shortcut.modifiers & HotkeyShortcut::kSuper;
  return key;
}

void HotkeyManager::registerHotkey() {
  unregister();
  if (!mechanism_) return;
  // The press arrives inside the window system's event delivery; the action runs after it.
  auto pressed = [this, alive = alive_] {
    mainQueue_.post([this, alive] {
      if (*alive && onTrigger) onTrigger();
    });
  };
  if (auto refused = mechanism_->bind(globalKeyOf(readHotkeyShortcut(defaults_)), pressed)) {
    failure_ = *refused;
    std::cout << "Caskel: failed to register hotkey: " << *refused << std::endl;
    return;
  }
  failure_.clear();
  registered_ = true;
}

void HotkeyManager::update(uint32_t keyCode, uint32_t modifiers) {
  writeHotkeyShortcut(defaults_, HotkeyShortcut{keyCode, modifiers});
  registerHotkey();
}

void HotkeyManager::unregister() {
  if (mechanism_ && registered_) mechanism_->unbind();
  registered_ = false;
}

std::string HotkeyManager::shortcutDisplay() const {
  return hotkeyDisplayText(readHotkeyShortcut(defaults_));
}

std::string HotkeyManager::mechanism() const {
  return mechanism_ ? mechanism_->mechanism() : std::string();
}

}  // namespace caskel
