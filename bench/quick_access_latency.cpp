// From the quick-access shortcut's key press to a focused panel listing 1,000 secrets, on a
// real X server (run it through xvfb-run): the press is sent with xdotool, caught by the X11
// key grab, and the panel opens with its search field focused. The passphrase prompt, which
// waits for the person, is left out. Usage: quick_access_latency [ROUNDS]
#include <stdlib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/application.h"
#include "audit/audit_logger.h"
#include "base/status_code.h"
#include "platform/credential_store.h"
#include "platform/defaults_store.h"
#include "platform/file_system.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/qt/x11_hotkey_grab.h"
#include "views/hotkey_manager.h"
#include "views/prompt_tracker.h"
#include "views/quick_access_panel.h"
#include "views/view_services.h"
#include "listing_store.h"

namespace caskel {
namespace {

constexpr int kSecrets = 1000;

// The X11 grab, noting when a press reaches this process.
class TimedGrab : public GlobalHotkey {
 public:
  TimedGrab(std::unique_ptr<GlobalHotkey> inner, QElapsedTimer& clock, qint64& pressedAt)
      : inner_(std::move(inner)), clock_(clock), pressedAt_(pressedAt) {}
  std::string mechanism() const override { return inner_->mechanism(); }
  std::optional<std::string> bind(const GlobalKey& key, std::function<void()> pressed) override {
    return inner_->bind(key, [this, pressed] {
      pressedAt_ = clock_.nsecsElapsed();
      pressed();
    });
  }
  void unbind() override { inner_->unbind(); }

 private:
  std::unique_ptr<GlobalHotkey> inner_;
  QElapsedTimer& clock_;
  qint64& pressedAt_;
};

bool waitFor(const std::function<bool()>& done) {
  QElapsedTimer deadline;
  deadline.start();
  while (!done()) {
    if (deadline.elapsed() > 10'000) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 1);
  }
  return true;
}

// Starts xdotool; the caller waits for what the press does, then for xdotool to end, so that
// one press's release never overlaps the next press.
std::unique_ptr<QProcess> pressShortcut() {
  auto xdotool = std::make_unique<QProcess>();
  xdotool->start("xdotool", {"key", "ctrl+shift+1"});
  return xdotool;
}

bool finished(QProcess& process) {
  return waitFor([&] { return process.state() == QProcess::NotRunning; });
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int run(int rounds) {
  char pattern[] = "/tmp/caskel-bench-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  QtMainQueue mainQueue(qApp);
  Application::shared().markMainThread();
  Application::shared().setMainQueue(&mainQueue);
  {
    auto store = std::make_shared<bench::ListingStore>();
    KeychainManager keychain("caskel", store);
    for (int i = 0; i < kSecrets; ++i) {
      SecretMetadata metadata;
      metadata.peek = "sk_l";
      keychain.save(
          "org" + std::to_string(i % 10) + "/project" + std::to_string(i % 50) + "/KEY_" + std::to_string(i),
          "v", metadata);
    }
    DefaultsStore defaults(dir + "/defaults.json");
    AuditLogger audit(dir, defaults);
    auto clipboard = std::make_shared<bench::NoClipboard>();
    AppState state(keychain, defaults, audit, clipboard, dir);
    state.reload(nullptr);
    state.setHasLoaded(true);
    waitFor([&] { return state.accounts().size() == kSecrets; });
    TaskQueue& idle = mainQueue;  // the prompt never comes: its delay outlasts the run
    PromptTracker prompts;
    ViewServices services(state, keychain, audit, defaults, *clipboard, mainQueue, idle, prompts);

    QElapsedTimer clock;
    clock.start();
    qint64 pressedAt = 0;
    std::unique_ptr<GlobalHotkey> grab = X11HotkeyGrab::forApplication();
    if (!grab) {
      std::fprintf(stderr, "quick_access_latency needs an X display: run it through xvfb-run\n");
      return 2;
    }
    HotkeyManager hotkey(defaults, mainQueue, std::make_unique<TimedGrab>(std::move(grab), clock, pressedAt));
    QuickAccessTimings timings;
    timings.promptDelay = std::chrono::hours(1);
    QuickAccessPanel panel(
        services, [&] { return hotkey.shortcutDisplay(); }, timings);
    hotkey.onTrigger = [&] { panel.toggle(); };
    hotkey.registerHotkey();
    if (!hotkey.isRegistered()) return 1;

    auto focused = [&] {
      QuickAccessView* view = panel.view();
      return view && panel.window() && panel.window()->isActiveWindow() &&
             view->findChild<QListWidget*>()->count() == kSecrets &&
             QApplication::focusWidget() == view->findChild<QLineEdit*>();
    };
    std::vector<double> fromGrab, fromCommand;
    for (int i = 0; i < rounds; ++i) {
      const qint64 sent = clock.nsecsElapsed();
      std::unique_ptr<QProcess> open = pressShortcut();
      if (!waitFor(focused)) {
        std::fprintf(stderr, "the panel did not open focused in round %d (shown: %d)\n", i + 1,
                     panel.isVisible());
        return 1;
      }
      const qint64 done = clock.nsecsElapsed();
      fromGrab.push_back(static_cast<double>(done - pressedAt) / 1e6);
      fromCommand.push_back(static_cast<double>(done - sent) / 1e6);
      if (!finished(*open)) return 1;
      std::unique_ptr<QProcess> close = pressShortcut();
      if (!waitFor([&] { return !panel.isVisible(); }) || !finished(*close)) return 1;
    }
    std::printf("quick access, %d secrets, %d rounds (ms, median / max)\n", kSecrets, rounds);
    std::printf("  key press caught -> focused panel   %7.2f / %7.2f\n", median(fromGrab),
                *std::max_element(fromGrab.begin(), fromGrab.end()));
    std::printf("  xdotool started  -> focused panel   %7.2f / %7.2f\n", median(fromCommand),
                *std::max_element(fromCommand.begin(), fromCommand.end()));
  }
  Application::shared().setMainQueue(nullptr);
  fs::removeTree(dir);
  return 0;
}

}  // namespace
}  // namespace caskel

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "xcb");
  QApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  return caskel::run(rounds);
}
