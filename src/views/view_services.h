#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>

#include "app/security_check.h"
#include "platform/work_queue.h"
#include "store/keychain_manager.h"

namespace caskel {

class AppState;
class AuditLogger;
class Clipboard;
class DefaultsStore;
class HotkeyManager;
class PromptTracker;

// What the screens reach beyond their own widgets. The program fills it with the real
// services; tests give fakes, a manual main queue and a clock they move by hand.
struct ViewServices {
  using Clock = std::chrono::system_clock;

  ViewServices(AppState& state, KeychainManager keychain, AuditLogger& audit, DefaultsStore& defaults,
               Clipboard& clipboard, TaskQueue& mainQueue, TaskQueue& worker, PromptTracker& prompts)
      : state(state),
        keychain(std::move(keychain)),
        audit(audit),
        defaults(defaults),
        clipboard(clipboard),
        mainQueue(mainQueue),
        worker(worker),
        prompts(prompts) {}

  AppState& state;
  KeychainManager keychain;
  AuditLogger& audit;
  DefaultsStore& defaults;
  Clipboard& clipboard;
  // Delayed work of the screens (clipboard clearing, the share's 61-second reset, the
  // "Copied!" flags) goes here, so tests can run it without waiting.
  TaskQueue& mainQueue;
  // Store calls that may prompt run here, never on the main thread.
  TaskQueue& worker;
  PromptTracker& prompts;
  std::function<Clock::time_point()> now = [] { return Clock::now(); };
  // Whether the vault has been created. The list asks for the passphrase to load an empty
  // list only when there is a vault to load; unset, it never asks.
  std::function<bool()> vaultExists;
  // The program's version ("v" button in Settings; empty hides it).
  std::string version;
  // The quick-access shortcut's registration, which Settings renews after a change; unset,
  // Settings only stores the new shortcut.
  HotkeyManager* hotkey = nullptr;
  // Runs the system's tools for the security self-check; tests give canned outputs.
  ToolRunner runTool = [](const std::string& program, const std::vector<std::string>& arguments) {
    ChildOptions options;
    options.captureOutput = true;
    return runChild(program, arguments, options);
  };
  // This program's own path, which the self-check asks the package manager about.
  std::string executable;
  // Whether this program hosts the server; otherwise the self-check looks at a running caskeld.
  bool hostsServer = true;
};

}  // namespace caskel
