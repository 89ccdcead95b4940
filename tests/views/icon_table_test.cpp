#include "views/icon_table.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QIcon>
#include <QImage>

namespace caskel::style {
namespace {

// Every symbol has a drawing of our own that renders, for systems whose theme lacks it.
TEST(IconTable, EveryFallbackSvgIsInTheResourceAndDraws) {
  for (const IconEntry& entry : iconTable()) {
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

}  // namespace
}  // namespace caskel::style
