#include "views/secret_list_view.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTest>

#include "app/server_host.h"
#include "session/session_manager.h"
#include "views/secret_list_model.h"
#include "views/secret_row_delegate.h"
#include "views/views_fixture.h"

namespace caskel {
namespace {

using namespace std::chrono_literals;

class SecretListViewTest : public ViewsFixture {
 protected:
  // The rows as the list shows them: headers as "[title]", secrets by name.
  std::vector<std::string> rows(const SecretListView& view) {
    std::vector<std::string> out;
    const SecretListModel& model = view.model();
    for (int i = 0; i < model.rowCount(); ++i) {
      const QModelIndex index = model.index(i);
      const std::string text = model.data(index).toString().toStdString();
      out.push_back(model.secret(i) ? text : "[" + text + "]");
    }
    return out;
  }
  bool showsText(const SecretListView& view, const QString& text) {
    for (const QLabel* label : view.findChildren<QLabel*>()) {
      if (label->isVisibleTo(&view) && label->text() == text) return true;
    }
    return false;
  }
  bool offersAddFirst(const SecretListView& view) {
    for (const QPushButton* button : view.findChildren<QPushButton*>()) {
      if (button->text() == "Add your first secret") return button->isVisibleTo(&view);
    }
    return false;
  }
  // Clicks a secret row's share button where the delegate draws it.
  void clickShare(SecretListView& view, const std::string& account) {
    const int row = view.model().rowOf(account);
    ASSERT_GE(row, 0);
    const QRect rect = view.listView()->visualRect(view.model().index(row));
    const auto* delegate = static_cast<SecretRowDelegate*>(view.listView()->itemDelegate());
    const QPoint at = delegate->geometry(rect, *view.model().secret(row), {}).share.center();
    QTest::mouseClick(view.listView()->viewport(), Qt::LeftButton, {}, at);
    settle();
  }
};

TEST_F(SecretListViewTest, GroupsFilterAndEmptyStates) {
  SecretListView view(services());
  EXPECT_TRUE(showsText(view, "No credentials stored"));
  EXPECT_TRUE(offersAddFirst(view));
  EXPECT_TRUE(showsText(view, "0 items"));

  for (const char* key : {"b/x/K2", "acme/api/KEY", "TOP", "b/x/K1", "acme//api/Z"}) put(key);
  reload();
  EXPECT_EQ(rows(view), (std::vector<std::string>{"[(ungrouped)]", "TOP", "[acme/api]", "Z", "KEY", "[b/x]",
                                                  "K1", "K2"}));
  // Rows act on the key itself, never on one rebuilt from folder and name.
  const std::pair<int, const char*> accounts[] = {{1, "TOP"}, {3, "acme//api/Z"}, {4, "acme/api/KEY"}};
  for (const auto& [row, account] : accounts) {
    EXPECT_EQ(view.model().data(view.model().index(row), SecretListModel::AccountRole).toString(), account);
  }

  // Collapsing keeps the header; the collapse survives a rebuild.
  view.model().toggleGroup(5);
  EXPECT_EQ(rows(view),
            (std::vector<std::string>{"[(ungrouped)]", "TOP", "[acme/api]", "Z", "KEY", "[b/x]"}));
  reload();
  EXPECT_EQ(rows(view).size(), 6u);
  view.model().toggleGroup(5);
  EXPECT_EQ(rows(view).size(), 8u);

  // The footer counts every secret while the filter hides some.
  auto* filter = view.findChild<QLineEdit*>();
  QTest::keyClicks(filter, "k2");
  settle();
  EXPECT_EQ(rows(view), (std::vector<std::string>{"[b/x]", "K2"}));
  EXPECT_TRUE(showsText(view, "5 items"));

  QTest::keyClicks(filter, "zz");
  settle();
  EXPECT_TRUE(showsText(view, "No matches"));
  EXPECT_FALSE(offersAddFirst(view));
}

TEST_F(SecretListViewTest, ShareCountsDownFromTheClockAndASecondShareTakesOver) {
  put("acme/api/KEY");
  put("acme/api/OTHER");
  reload();
  SecretListView view(services());
  view.resize(350, 460);
  view.show();
  clickShare(view, "acme/api/KEY");
  ASSERT_EQ(view.sharedAccount(), "acme/api/KEY");
  EXPECT_TRUE(clipboard->text()->starts_with("source <("));
  EXPECT_TRUE(view.countdownRunning());

  using Kind = ShareIndicator::Kind;
  using Tone = ShareIndicator::Tone;
  const struct {
    std::chrono::seconds at;
    Kind kind;
    int remaining;
    Tone tone;
  } steps[] = {{0s, Kind::copied, 0, Tone::green},
               {1s, Kind::countdown, 59, Tone::green},
               {50s, Kind::countdown, 10, Tone::red},
               {60s, Kind::idle, 0, Tone::secondary}};
  const auto start = now;
  for (const auto& step : steps) {
    now = start + step.at;
    const ShareIndicator indicator = view.indicatorFor("acme/api/KEY");
    EXPECT_EQ(indicator.kind, step.kind) << step.at.count();
    EXPECT_EQ(indicator.remaining, step.remaining) << step.at.count();
    EXPECT_EQ(indicator.tone, step.tone) << step.at.count();
    EXPECT_EQ(view.indicatorFor("acme/api/OTHER").kind, Kind::idle);
  }

  // A second share moves the countdown; the first share's reset then leaves it alone.
  now = start + 5s;
  clickShare(view, "acme/api/OTHER");
  EXPECT_EQ(view.indicatorFor("acme/api/OTHER").kind, Kind::copied);
  EXPECT_EQ(view.indicatorFor("acme/api/KEY").kind, Kind::idle);
  std::vector<double> delays;
  for (const auto& entry : mainQueue.delayed()) delays.push_back(entry.delay);
  const auto firstReset = std::find(delays.begin(), delays.end(), 61.0);
  ASSERT_NE(firstReset, delays.end());
  for (auto i = delays.begin(); i <= firstReset; ++i) mainQueue.takeFirst()();
  EXPECT_EQ(view.sharedAccount(), "acme/api/OTHER");
  mainQueue.runAll();
  EXPECT_EQ(view.sharedAccount(), std::nullopt);

  // A refused prompt changes nothing.
  auth->queue(AuthOutcome::canceled);
  clickShare(view, "acme/api/KEY");
  EXPECT_EQ(view.sharedAccount(), std::nullopt);
}

TEST_F(SecretListViewTest, GroupUnlockedByTheRunningServersSession) {
  put("acme/api/KEY");
  put("other/KEY");
  test::TempHome home;
  ServerHostOptions options;
  options.manageProcess = false;
  options.store = store;
  options.authenticator = auth;
  options.clipboard = clipboard;
  options.sessionDirRoot = dir.path();
  options.server.socketPath = dir.file("caskel.sock");
  options.server.knownCallersPath = dir.file("known_callers.json");
  options.server.sessionConfigPath = dir.file("config.json");
  ServerHost host(options, mainQueue);
  ASSERT_TRUE(host.start());
  reload();
  SecretListView view(services());
  auto unlocked = [&](const char* prefix) {
    const std::vector<std::string> shown = rows(view);
    const auto at = std::find(shown.begin(), shown.end(), std::string("[") + prefix + "]");
    const int row = static_cast<int>(at - shown.begin());
    return view.model().data(view.model().index(row), SecretListModel::UnlockedRole).toBool();
  };
  view.refreshUnlocked();
  EXPECT_FALSE(unlocked("acme/api"));

  ASSERT_TRUE(host.server().session().unlock("acme/", 60, SessionBinding{}, std::nullopt).unlocked());
  view.refreshUnlocked();
  EXPECT_TRUE(unlocked("acme/api"));
  EXPECT_FALSE(unlocked("other"));

  host.stop();
  view.refreshUnlocked();
  EXPECT_FALSE(unlocked("acme/api"));
}

TEST_F(SecretListViewTest, FirstLoadAsksOnlyForAnExistingVaultAndNotAgainAfterANo) {
  bool vault = false;
  services().vaultExists = [&] { return vault; };
  SecretListView view(services());
  view.show();
  settle();
  EXPECT_EQ(auth->promptCount(), 0);

  vault = true;
  auth->queue(AuthOutcome::canceled);
  view.hide();
  view.show();
  settle();
  EXPECT_EQ(auth->reasons(), std::vector<std::string>{"Load secrets — via Caskel tray"});
  view.hide();
  view.show();
  settle();
  EXPECT_EQ(auth->promptCount(), 1);
}

}  // namespace
}  // namespace caskel
