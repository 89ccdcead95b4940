#include "views/window_controller.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QTest>

#include "views/main_window.h"
#include "views/views_fixture.h"

namespace caskel {
namespace {

void deactivate(QWidget& window) {
  QEvent event(QEvent::WindowDeactivate);
  QApplication::sendEvent(&window, &event);
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
  deactivate(window);
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
