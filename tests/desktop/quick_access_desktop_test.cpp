// The quick-access panel on a real X server: its focus, and its copies on the X clipboard.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QProcess>
#include <QTest>
#include <functional>

#include "platform/qt/qt_clipboard.h"
#include "platform/qt/qt_main_queue.h"
#include "store/structured_value.h"
#include "support/app_parts.h"
#include "views/prompt_tracker.h"
#include "views/quick_access_panel.h"
#include "views/quick_access_view.h"
#include "views/view_services.h"

namespace caskel {
namespace {

// Processes events (and `also`) until `done` holds or ten seconds passed.
bool waitUntil(const std::function<bool()>& done, const std::function<void()>& also = {}) {
  QDeadlineTimer deadline(10'000);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    if (also) also();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// Runs a tool while this process keeps serving the X selections it owns; its standard output.
QByteArray runTool(const QString& program, const QStringList& arguments, const QByteArray& input = {}) {
  QProcess process;
  process.start(program, arguments);
  if (!process.waitForStarted()) return "(not started)";
  if (!input.isEmpty()) process.write(input);
  process.closeWriteChannel();
  waitUntil([&] { return process.state() == QProcess::NotRunning; });
  return process.readAllStandardOutput();
}

class DesktopQuickAccess : public ::testing::Test, public test::AppParts {
 protected:
  DesktopQuickAccess() {
    services.version = "test";
    EXPECT_FALSE(keychain.save("acme/github", encodeLogin({"ann", "gh-pass"}),
                               SecretMetadata::fromJson(R"({"type":"login"})")));
    state->reload(nullptr);
    state->setHasLoaded(true);
    pump();
  }
  void pump() {
    worker.runReady();
    mainQueue.runReady();
  }
  // Copies the first secret through a quick-access opening; the clear follows after 100 ms.
  std::unique_ptr<QuickAccessView> copyFirst() {
    QuickAccessTimings timings;
    timings.promptDelay = std::chrono::milliseconds(0);
    timings.clearDelay = std::chrono::milliseconds(100);
    auto view = std::make_unique<QuickAccessView>(services, "Ctrl+Shift+1", timings);
    view->start();
    QuickAccessView* raw = view.get();
    EXPECT_TRUE(waitUntil([raw] { return raw->isUnlocked(); }, [this] { pump(); }));
    const int64_t before = qtClipboard.changeCount();
    QTest::keyClick(view->findChild<QLineEdit*>(), Qt::Key_Return);
    EXPECT_TRUE(waitUntil([&] { return qtClipboard.changeCount() != before; }, [this] { pump(); }));
    return view;
  }

  QtClipboard qtClipboard;
  QtMainQueue queue{QCoreApplication::instance()};
  test::ManualQueue worker;
  PromptTracker prompts;
  ViewServices services{*state, keychain, audit, defaults, qtClipboard, queue, worker, prompts};
};

TEST_F(DesktopQuickAccess, CopyIsMarkedSecretAndClearedWhenStillOurs) {
  auto view = copyFirst();
  const QByteArray targets = runTool("xclip", {"-o", "-selection", "clipboard", "-t", "TARGETS"});
  EXPECT_TRUE(targets.contains("x-kde-passwordManagerHint")) << targets.toStdString();
  EXPECT_EQ(runTool("xclip", {"-o", "-selection", "clipboard"}), "gh-pass");
  EXPECT_EQ(runTool("xclip", {"-o", "-selection", "primary"}), "");
  EXPECT_TRUE(waitUntil([&] { return qtClipboard.text().value_or("x").empty(); }));
  EXPECT_EQ(runTool("xclip", {"-o", "-selection", "clipboard"}), "");
}

TEST_F(DesktopQuickAccess, SomethingCopiedSinceStays) {
  auto view = copyFirst();
  const int64_t ours = qtClipboard.changeCount();
  QProcess other;
  // In the foreground, so that it is this test's to end.
  other.start("xclip", {"-i", "-selection", "clipboard", "-quiet"});
  other.write("from-elsewhere");
  other.closeWriteChannel();
  ASSERT_TRUE(waitUntil([&] { return qtClipboard.changeCount() != ours; }));
  // Past the clear's time: the clear task ran and left the other program's text alone.
  bool cleared = false;
  queue.postAfter(std::chrono::milliseconds(300), [&] { cleared = true; });
  ASSERT_TRUE(waitUntil([&] { return cleared; }));
  EXPECT_EQ(runTool("xclip", {"-o", "-selection", "clipboard"}), "from-elsewhere");
  other.kill();
  other.waitForFinished(1000);
}

// Every opening is focused, the later ones too: a window system without a window manager
// refuses to focus a window that is shown again, so each opening is a new window.
TEST_F(DesktopQuickAccess, EveryOpeningHasTheFocusInItsSearchField) {
  QuickAccessTimings timings;
  timings.promptDelay = std::chrono::hours(1);  // no prompt: only the focus matters here
  QuickAccessPanel panel(
      services, [] { return std::string("Ctrl+Shift+1"); }, timings);
  for (int opening = 1; opening <= 3; ++opening) {
    panel.toggle();
    EXPECT_TRUE(waitUntil([&] {
      return panel.window() && panel.window()->isActiveWindow() &&
             QApplication::focusWidget() == panel.view()->findChild<QLineEdit*>();
    })) << "opening "
        << opening;
    panel.toggle();
    EXPECT_FALSE(panel.isVisible());
  }
}

}  // namespace
}  // namespace caskel
