#include "views/main_window.h"

#include <gtest/gtest.h>

#include "views/secret_list_view.h"
#include "views/views_fixture.h"

namespace caskel {
namespace {

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

}  // namespace
}  // namespace caskel
