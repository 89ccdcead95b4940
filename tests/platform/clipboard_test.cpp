#include "platform/clipboard.h"

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace caskel {
namespace {

TEST(Clipboard, ChangeCountMovesOnOwnWritesAndOnForeignText) {
  test::TempDir dir;
  std::string file = dir.file("board");
  auto board = Clipboard::withCommands({{"sh", "-c", "cat > \"$0\"", file}, {"cat", file}, {}});
  ASSERT_TRUE(board->setText("first"));
  EXPECT_EQ(board->text(), "first");
  int64_t mine = board->changeCount();
  EXPECT_EQ(board->changeCount(), mine);
  test::writeText(file, "someone else");
  int64_t foreign = board->changeCount();
  EXPECT_NE(foreign, mine);
  EXPECT_EQ(board->changeCount(), foreign);
  board->clear();
  EXPECT_EQ(board->text(), "");
  EXPECT_NE(board->changeCount(), foreign);
}

TEST(Clipboard, WithoutADisplayNothingIsCopied) {
  test::ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
  test::ScopedEnv x11("DISPLAY", std::nullopt);
  auto board = Clipboard::system();
  EXPECT_FALSE(board->setText("value"));
  EXPECT_EQ(board->text(), std::nullopt);
}

}  // namespace
}  // namespace caskel
