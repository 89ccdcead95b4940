#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <tuple>

#include "store/structured_value.h"
#include "views/quick_access_rules.h"
#include "views/quick_access_view.h"
#include "views/views_fixture.h"

namespace caskel {
namespace {

TEST(QuickAccessRules, PanelHangsBelowThePointerInsideTheAvailableArea) {
  // A 1280 × 800 screen with a 30-pixel panel at the top, a second screen to its right, and
  // one smaller than the panel.
  const QRect screen(0, 30, 1280, 770), right(1280, 0, 1920, 1080), small(50, 40, 200, 300);
  const std::tuple<const char*, QRect, QPoint, QPoint> cases[] = {
      {"centred, 20 px below the pointer", screen, {640, 300}, {490, 320}},
      {"left edge", screen, {10, 300}, {0, 320}},
      {"right edge", screen, {1275, 300}, {980, 320}},
      {"bottom edge: pushed up", screen, {640, 790}, {490, 440}},
      {"second screen's left edge", right, {1290, 100}, {1280, 120}},
      {"too small: left and top edges win", small, {150, 200}, {50, 40}},
  };
  for (const auto& [what, available, pointer, expected] : cases)
    EXPECT_EQ(quickAccessPosition(QSize(300, 360), pointer, available), expected) << what;
}

TEST(QuickAccessRules, UnlockReasonCountsCredentials) {
  EXPECT_EQ(quickAccessUnlockReason(1), "Unlock 1 credential for quick access");
  EXPECT_EQ(quickAccessUnlockReason(3), "Unlock 3 credentials for quick access");
}

TEST(QuickAccessRules, CopyTakesTheUsefulPartOfAStructuredValue) {
  const std::string login = encodeLogin({"ann", "pa55"});
  const std::string apiKey = encodeApiKey({"primary", "backup"});
  const std::string codes = encodeRecoveryCodes({"aaaa-1111", "bbbb-2222", "cccc-3333"});
  const std::tuple<std::optional<std::string>, std::string, std::string> cases[] = {
      {"login", login, "pa55"},
      {"api_key", apiKey, "primary"},
      {"recovery_code", codes, "aaaa-1111\nbbbb-2222\ncccc-3333"},
      // A value that does not parse as its type's layout, and other types, go as they are.
      {"login", "plain-password", "plain-password"},
      {"token", login, login},
      {std::nullopt, apiKey, apiKey},
  };
  for (const auto& [type, value, expected] : cases)
    EXPECT_EQ(quickAccessCopyText(type, value).str(), expected) << type.value_or("(none)") << " " << value;
}

class QuickAccessTest : public ViewsFixture {
 protected:
  void SetUp() override {
    put("acme/github", encodeLogin({"ann", "gh-pass"}), metadataOf(R"({"type":"login"})"));
    put("acme/stripe", encodeApiKey({"sk_live_1", "sk_live_2"}), metadataOf(R"({"type":"api_key"})"));
    put("home/wifi", "wifi-password-long");
    state->setHasLoaded(true);
  }
  // A view as one opening shows it, its prompt (after its delay) answered unless told not to.
  std::unique_ptr<QuickAccessView> opened(bool answered = true) {
    auto view = std::make_unique<QuickAccessView>(services(), "Ctrl+Shift+1", QuickAccessTimings{});
    view->show();
    view->start();
    if (answered) mainQueue.runAll();
    settle();
    return view;
  }
  std::vector<double> delays() {
    std::vector<double> seconds;
    for (const auto& entry : mainQueue.delayed()) seconds.push_back(entry.delay);
    return seconds;
  }
  QLineEdit* search(QuickAccessView& view) { return view.findChild<QLineEdit*>(); }
  QListWidget* list(QuickAccessView& view) { return view.findChild<QListWidget*>(); }
};

TEST_F(QuickAccessTest, OnePromptPerOpeningThenTheFilteredList) {
  auto view = opened(false);
  EXPECT_TRUE(showsLabel(*view, "Passphrase"));  // the lock pulses until the prompt answers
  EXPECT_EQ(delays(), std::vector<double>{0.6});
  EXPECT_EQ(auth->promptCount(), 0);
  mainQueue.runAll();
  settle();
  EXPECT_EQ(auth->reasons(), std::vector<std::string>{"Unlock 3 credentials for quick access"});
  EXPECT_TRUE(showsLabel(*view, "Unlocked"));
  EXPECT_EQ(list(*view)->count(), 3);

  QTest::keyClicks(search(*view), "ACME");
  EXPECT_EQ(list(*view)->count(), 2);
  view.reset();

  // The next opening asks again (the passphrase's own reuse window aside).
  auth->forgetLastSuccess();
  auto next = opened();
  EXPECT_EQ(auth->promptCount(), 2);
}

TEST_F(QuickAccessTest, ArrowsPickAMatchReturnCopiesItsUsefulPartAndTheClearWaits) {
  auto view = opened();
  QLineEdit* field = search(*view);
  // Key pressed and the highlighted row after it.
  const std::tuple<Qt::Key, int> moves[] = {
      {Qt::Key_Up, 0}, {Qt::Key_Down, 1}, {Qt::Key_Down, 2}, {Qt::Key_Down, 2}, {Qt::Key_Up, 1},
  };
  for (const auto& [key, row] : moves) {
    QTest::keyClick(field, key);
    EXPECT_EQ(list(*view)->currentRow(), row);
  }
  QTest::keyClicks(field, "a");  // typing starts again at the first match
  EXPECT_EQ(view->selectedIndex(), 0);
  QTest::keyClick(field, Qt::Key_Down);

  QSignalSpy closed(view.get(), &QuickAccessView::dismissed);
  QTest::keyClick(field, Qt::Key_Return);
  settle();
  EXPECT_EQ(clipboard->text(), "sk_live_1");
  EXPECT_EQ(delays(), (std::vector<double>{30, 1}));  // the clear, then the panel's closing
  mainQueue.runAll();
  EXPECT_EQ(closed.count(), 1);
  EXPECT_EQ(clipboard->text(), "");

  QTest::keyClick(field, Qt::Key_Up);
  QTest::keyClick(field, Qt::Key_Return);
  settle();
  EXPECT_EQ(clipboard->text(), "gh-pass");
  view.reset();  // closed before the clear is due: the clear still comes, but someone copied since
  clipboard->setText("mine");
  mainQueue.runAll();
  EXPECT_EQ(clipboard->text(), "mine");
}

TEST_F(QuickAccessTest, EscapeClosesAndFailedPromptsOfferRetry) {
  auth->queue(AuthOutcome::canceled);
  auto view = opened();
  EXPECT_FALSE(view->isUnlocked());
  EXPECT_TRUE(showsLabel(*view, "Session expired — one more passphrase prompt to continue"));
  QTest::keyClick(search(*view), Qt::Key_Return);  // nothing to copy with: no read
  settle();
  EXPECT_EQ(clipboard->changeCount(), 0);

  findByText<QPushButton>(*view, "Retry")->click();
  settle();
  EXPECT_TRUE(view->isUnlocked());

  QSignalSpy closed(view.get(), &QuickAccessView::dismissed);
  QTest::keyClick(search(*view), Qt::Key_Escape);
  EXPECT_EQ(closed.count(), 1);

  auth->setAvailable(false);
  auto unavailable = opened();
  EXPECT_TRUE(showsLabel(*unavailable, "Passphrase prompt unavailable"));
  EXPECT_FALSE(unavailable->isUnlocked());
}

}  // namespace
}  // namespace caskel
