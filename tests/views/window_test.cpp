#include <QEvent>
#include <QFile>
#include <QIcon>
#include <QImage>

#include "views/icon_table.h"
#include "views/main_window.h"
#include "views/secret_list_view.h"
#include "views/views_fixture.h"
#include "views/window_controller.h"
#include "views/window_placement.h"

namespace caskel {
namespace {

TEST(WindowPlacement, HangsFromTheAnchorInsideTheAvailableArea) {
  // A 1920 × 1080 screen with a 30-pixel panel at the top, a short one, and one smaller than the window.
  const QRect screen(0, 30, 1920, 1050), low(0, 0, 800, 600), small(100, 50, 300, 400);
  const std::tuple<const char*, QRect, std::optional<QRect>, QPoint, QPoint> cases[] = {
      {"under a tray icon at the top", screen, QRect(1000, 2, 24, 24), {}, {836, 30}},
      {"above a tray icon at the bottom", screen, QRect(1000, 1050, 24, 24), {}, {836, 590}},
      {"right edge", screen, QRect(1900, 2, 20, 24), {}, {1570, 30}},
      {"left edge", screen, QRect(0, 2, 20, 24), {}, {0, 30}},
      {"no tray geometry: below the pointer", screen, std::nullopt, {500, 300}, {325, 301}},
      {"invalid tray geometry counts as none", screen, QRect(), {500, 300}, {325, 301}},
      {"pointer in the lower half: above it", screen, std::nullopt, {500, 900}, {325, 440}},
      {"pointer in the corner: right edge", screen, std::nullopt, {1919, 1079}, {1570, 619}},
      {"pointer over the panel: top edge", screen, std::nullopt, {10, 0}, {0, 30}},
      {"below the pointer, pushed up by the bottom edge", low, std::nullopt, {400, 250}, {225, 140}},
      {"small screen: the left and top edges stay visible", small, std::nullopt, {390, 440}, {100, 50}},
      {"small screen under a tray icon", small, QRect(110, 60, 10, 10), {}, {100, 50}},
  };
  for (const auto& [what, available, tray, pointer, expected] : cases)
    EXPECT_EQ(windowPosition(QSize(350, 460), tray, pointer, available), expected) << what;
}

// Every symbol has a drawing of our own that renders, for systems whose theme lacks it.
TEST(IconTable, EveryFallbackSvgIsInTheResourceAndDraws) {
  for (const style::IconEntry& entry : style::iconTable()) {
    const QString path = QString(":/icons/") + entry.fallback;
    ASSERT_TRUE(QFile::exists(path)) << entry.fallback;
    QImage image = QIcon(path).pixmap(22, 22).toImage();
    bool drawn = false;
    for (int y = 0; y < image.height() && !drawn; ++y) {
      for (int x = 0; x < image.width() && !drawn; ++x) drawn = qAlpha(image.pixel(x, y)) > 0;
    }
    EXPECT_TRUE(drawn) << entry.fallback;
  }
}

TEST_F(ViewsFixture, ScreensSwapInAndDismissBackToTheList) {
  MainWindow window(services());
  EXPECT_EQ(window.size(), QSize(350, 460));
  window.showSettings();
  EXPECT_EQ(window.screen(), MainWindow::Screen::settings);
  window.showAuditLog();
  EXPECT_EQ(window.screen(), MainWindow::Screen::auditLog);
  window.showList();
  EXPECT_EQ(window.screen(), MainWindow::Screen::list);
  EXPECT_EQ(window.currentScreen(), static_cast<QWidget*>(window.listView()));
}

// The drop-down closes when the focus goes, but not to a prompt the window started: then it
// closes when the prompt ends, if the focus did not come back. The tray click that took the
// focus does not reopen it.
TEST_F(ViewsFixture, DropDownClosesOnFocusLossExceptDuringAPrompt) {
  MainWindow window(services());
  WindowController controller(window, services(), WindowController::Mode::popup);
  controller.open(QRect(100, 0, 24, 24));
  ASSERT_TRUE(controller.isOpen());

  prompts.begin();
  QEvent deactivate(QEvent::WindowDeactivate);
  QApplication::sendEvent(&window, &deactivate);
  EXPECT_TRUE(controller.isOpen());
  prompts.end();
  EXPECT_FALSE(controller.isOpen());

  controller.toggle();
  EXPECT_FALSE(controller.isOpen()) << "the click that took the focus";
  now += std::chrono::seconds(1);
  controller.toggle();
  EXPECT_TRUE(controller.isOpen());
  QApplication::setActiveWindow(&window);  // shortcuts act only in the active window
  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_FALSE(controller.isOpen());
}

}  // namespace
}  // namespace caskel
