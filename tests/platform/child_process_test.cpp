#include "platform/child_process.h"

#include <gtest/gtest.h>

#include "platform/clipboard.h"
#include "support/test_env.h"

namespace caskel {
namespace {

ChildResult capture(const std::vector<std::string>& args, ChildOptions options = {}) {
  options.captureOutput = true;
  return runChild(args.front(), std::vector<std::string>(args.begin() + 1, args.end()), options);
}

TEST(ChildProcess, PassesInputEnvironmentAndStatusAndSurvivesChildrenThatStopReadingOrHang) {
  // Larger than a pipe's buffer both ways, so writing and reading must interleave.
  std::string big(3 * 1024 * 1024, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  ChildOptions options;
  options.input = big;
  ChildResult echoed = capture({"cat"}, options);
  EXPECT_TRUE(echoed.succeeded());
  EXPECT_TRUE(echoed.output == big);

  ChildOptions env;
  env.environment["CASKEL_K"] = "k'ey $x";
  EXPECT_EQ(capture({"sh", "-c", "printf %s \"$CASKEL_K\""}, env).output, "k'ey $x");

  ChildResult failed = capture({"sh", "-c", "echo out; echo err >&2; exit 3"});
  EXPECT_TRUE(failed.launched);
  EXPECT_EQ(failed.exitStatus, 3);
  EXPECT_EQ(failed.output, "out\n");  // standard error is not mixed in
  EXPECT_FALSE(runChild("caskel-no-such-program-here", {}).launched);

  EXPECT_TRUE(runChild("true", {}, options).succeeded());  // input never read: SIGPIPE absorbed

  ChildOptions limited;
  limited.timeLimit = std::chrono::milliseconds(300);
  ChildResult hung = runChild("sleep", {"60"}, limited);
  EXPECT_TRUE(hung.timedOut);
  EXPECT_FALSE(hung.succeeded());

  // A helper left running with the output pipe (as xclip does) does not hold the call up.
  ChildOptions patient;
  patient.timeLimit = std::chrono::seconds(30);
  ChildResult forked = capture({"sh", "-c", "sleep 5 & echo done"}, patient);
  EXPECT_FALSE(forked.timedOut);
  EXPECT_EQ(forked.output, "done\n");
}

// The clipboard runs its commands as children.
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
