// The desktop-session tests run in one QApplication on a real X server (Xvfb) with a session
// bus of their own; ctest starts them through xvfb-run and dbus-run-session.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>

int main(int argc, char** argv) {
  if (qgetenv("DISPLAY").isEmpty()) {
    std::fprintf(stderr, "test_desktop needs an X display: run it through xvfb-run\n");
    return 1;
  }
  qputenv("QT_QPA_PLATFORM", "xcb");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
