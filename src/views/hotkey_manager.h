#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/hotkey_shortcut.h"
#include "platform/global_hotkey.h"
#include "platform/work_queue.h"

namespace caskel {

class DefaultsStore;

// The quick-access shortcut: reads the stored combination, binds it through the desktop's
// mechanism and runs onTrigger on the main queue when it is pressed.
class HotkeyManager {
 public:
  // `mechanism` may be null: the desktop offers none, and the toggle command is the way in.
  HotkeyManager(DefaultsStore& defaults, TaskQueue& mainQueue, std::unique_ptr<GlobalHotkey> mechanism);
  ~HotkeyManager();
  HotkeyManager(const HotkeyManager&) = delete;
  HotkeyManager& operator=(const HotkeyManager&) = delete;

  // Binds the stored shortcut (the default when none is stored). A refusal prints
  // "Caskel: failed to register hotkey: " and the reason, and leaves the shortcut inactive.
  void registerHotkey();
  // Stores the new combination, then binds it in place of the old one.
  void update(uint32_t keyCode, uint32_t modifiers);
  void unregister();

  // The stored shortcut as the screens show it ("Ctrl+Shift+1").
  std::string shortcutDisplay() const;
  // "X11 key grab", "desktop portal"; empty when the desktop offers no mechanism.
  std::string mechanism() const;
  bool isRegistered() const { return registered_; }
  // Why the last registration failed; empty after a success.
  const std::string& failure() const { return failure_; }

  std::function<void()> onTrigger;

  // The combination in the window system's terms.
  static GlobalKey globalKeyOf(const HotkeyShortcut& shortcut);

 private:
  DefaultsStore& defaults_;
  TaskQueue& mainQueue_;
  std::unique_ptr<GlobalHotkey> mechanism_;
  // Outlives the manager in queued triggers, which then do nothing.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  bool registered_ = false;
  std::string failure_;
};

}  // namespace caskel
