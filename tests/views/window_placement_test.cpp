#include "views/window_placement.h"

#include <gtest/gtest.h>

namespace caskel {
namespace {

// A 1920 × 1080 screen whose available area leaves a 30-pixel panel at the top.
TEST(WindowPlacement, HangsFromTheAnchorInsideTheAvailableArea) {
  const QSize window(350, 460);
  const QRect available(0, 30, 1920, 1050);
  const struct {
    const char* what;
    std::optional<QRect> tray;
    QPoint pointer;
    QPoint expected;
  } cases[] = {
      {"under a tray icon at the top", QRect(1000, 2, 24, 24), {}, {836, 30}},
      {"above a tray icon at the bottom", QRect(1000, 1050, 24, 24), {}, {836, 590}},
      {"right edge", QRect(1900, 2, 20, 24), {}, {1570, 30}},
      {"left edge", QRect(0, 2, 20, 24), {}, {0, 30}},
      {"no tray geometry: below the pointer", std::nullopt, {500, 300}, {325, 301}},
      {"invalid tray geometry counts as none", QRect(), {500, 300}, {325, 301}},
      {"pointer in the lower half: above it", std::nullopt, {500, 900}, {325, 440}},
      {"pointer in the corner: right edge", std::nullopt, {1919, 1079}, {1570, 619}},
      {"pointer over the panel: top edge", std::nullopt, {10, 0}, {0, 30}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(windowPosition(window, c.tray, c.pointer, available), c.expected) << c.what;
}

// On a screen smaller than the window, the left and top edges stay visible.
TEST(WindowPlacement, MinimumEdgesWinOnASmallScreen) {
  const QRect small(100, 50, 300, 400);
  EXPECT_EQ(windowPosition(QSize(350, 460), std::nullopt, QPoint(390, 440), small), QPoint(100, 50));
  EXPECT_EQ(windowPosition(QSize(350, 460), QRect(110, 60, 10, 10), {}, small), QPoint(100, 50));
}

// Below the pointer on a short screen: pushed up by the bottom edge.
TEST(WindowPlacement, BottomEdge) {
  EXPECT_EQ(windowPosition(QSize(350, 460), std::nullopt, QPoint(400, 250), QRect(0, 0, 800, 600)),
            QPoint(225, 140));
}

}  // namespace
}  // namespace caskel
