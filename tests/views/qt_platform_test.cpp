#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QTest>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/qt/qt_clipboard.h"
#include "platform/qt/qt_main_queue.h"

namespace caskel {
namespace {

TEST(QtMainQueue, RunsPostsFromAnyThreadOnTheMainThreadAndSkipsCancelledTimers) {
  QObject owner;
  QtMainQueue queue(&owner);
  const std::thread::id mainThread = std::this_thread::get_id();
  std::atomic<int> ran{0};
  std::atomic<bool> onMain{true};
  std::thread([&] {
    queue.post([&] {
      onMain = onMain && std::this_thread::get_id() == mainThread;
      ++ran;
    });
  }).join();
  TaskHandle cancelled = queue.postAfter(std::chrono::milliseconds(1), [&] { ran += 100; });
  cancelled.cancel();
  queue.postAfter(std::chrono::milliseconds(5), [&] { ++ran; });
  // The cancelled timer was due first, so by the time the later one ran it had its chance.
  EXPECT_TRUE(QTest::qWaitFor([&] { return ran.load() >= 2; }, 5000));
  EXPECT_EQ(ran.load(), 2);
  EXPECT_TRUE(onMain);
}

TEST(QtClipboard, MarksCopiesAsSecretAndClearsOnlyWhatItStillOwns) {
  QtClipboard clipboard;
  ASSERT_TRUE(clipboard.setText("s3cret"));
  const QMimeData* data = QGuiApplication::clipboard()->mimeData();
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->data(QtClipboard::kPasswordHintType), QByteArray("secret"));
  EXPECT_EQ(clipboard.text(), "s3cret");

  // Someone else copies: the count moves, and quitting leaves their text alone.
  const int64_t ours = clipboard.changeCount();
  QGuiApplication::clipboard()->setText("theirs");
  EXPECT_NE(clipboard.changeCount(), ours);
  clipboard.clearIfOwned();
  EXPECT_EQ(clipboard.text(), "theirs");

  clipboard.setText("again");
  clipboard.clearIfOwned();
  EXPECT_EQ(clipboard.text(), "");
}

}  // namespace
}  // namespace caskel
