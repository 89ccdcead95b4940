#include <QDateTime>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>

#include "app/server_host.h"
#include "session/session_manager.h"
#include "views/secret_badges.h"
#include "views/secret_list_model.h"
#include "views/secret_list_rules.h"
#include "views/secret_list_view.h"
#include "views/secret_row_delegate.h"
#include "views/view_style.h"
#include "views/views_fixture.h"

namespace caskel {
namespace {

using namespace std::chrono_literals;
using Kind = ShareIndicator::Kind;
using Tone = ShareIndicator::Tone;

// A local wall-clock time, as the expiry dates are read in local time.
Clock::time_point local(int year, int month, int day, int hour) {
  return Clock::from_time_t(QDateTime(QDate(year, month, day), QTime(hour, 0)).toSecsSinceEpoch());
}

TEST(SecretBadges, TypeColours) {
  const std::pair<const char*, QColor> cases[] = {
      {"api_key", style::blue},  {"client_id", style::cyan},    {"client_secret", style::indigo},
      {"token", style::purple},  {"login", style::purple},      {"password", style::orange},
      {"username", style::mint}, {"recovery_code", style::red}, {"certificate", style::green},
      {"dsn", style::teal},      {"ssh_key", style::gray},      {"API_KEY", style::gray},
      {"", style::gray}};
  for (const auto& [type, color] : cases) EXPECT_EQ(typeColor(type), color) << type;
}

TEST(SecretBadges, ExpiryLabelsAndColours) {
  const std::tuple<const char*, Clock::time_point, const char*, QColor> cases[] = {
      {"2026-03-13", local(2026, 3, 1, 0), "12d", style::orange},
      {"2026-03-13", local(2026, 3, 1, 10), "11d", style::orange},  // whole days only
      {"2026-03-02", local(2026, 3, 1, 10), "0d", style::orange},
      {"2026-03-01", local(2026, 3, 1, 0), "0d", style::orange},  // midnight itself has not passed
      {"2026-03-01", local(2026, 3, 1, 10), "EXPIRED", style::red},
      {"2025-01-01", local(2026, 3, 1, 10), "EXPIRED", style::red},
      {"2025-02-30", local(2026, 3, 1, 10), "", style::orange},
      {"soon", local(2026, 3, 1, 10), "", style::orange},
  };
  for (const auto& [expires, at, label, color] : cases) {
    SecretMetadata metadata;
    metadata.expires = expires;
    const BadgeLook look = expiryBadge(metadata, at);
    EXPECT_EQ(look.label.toStdString(), label) << expires;
    EXPECT_EQ(look.color, color) << expires;
  }
}

TEST(SecretBadges, RowShowsEachBadgeOnlyWhenItApplies) {
  using Badges = std::vector<std::pair<BadgeKind, std::string>>;
  using K = BadgeKind;
  const std::pair<std::optional<SecretMetadata>, Badges> cases[] = {
      {metadataOf(R"({"type":"token","bundle":"oauth","strict":true,"expires":"2026-03-15"})"),
       {{K::type, "token"}, {K::bundle, "{oauth}"}, {K::strict, ""}, {K::expiry, "13d"}}},
      // An expiry beyond 14 days and strict off show no badge.
      {metadataOf(R"({"type":"token","bundle":"oauth","strict":false,"expires":"2026-03-16"})"),
       {{K::type, "token"}, {K::bundle, "{oauth}"}}},
      {metadataOf(R"({"desc":"only a description"})"), {}},
      {std::nullopt, {}},
  };
  for (const auto& [metadata, expected] : cases) {
    Badges badges;
    for (const BadgeLook& badge : rowBadges(metadata, local(2026, 3, 1, 10)))
      badges.emplace_back(badge.kind, badge.label.toStdString());
    EXPECT_EQ(badges, expected);
  }
}

TEST(ShareIndicatorRule, FollowsTheClock) {
  const Clock::time_point at = Clock::time_point(1'800'000'000s);
  // Shared at, time since, and the kind, seconds left and tone shown.
  const std::tuple<std::optional<Clock::time_point>, Clock::duration, Kind, int, Tone> cases[] = {
      {std::nullopt, 0s, Kind::idle, 0, Tone::secondary},
      {at, 0s, Kind::copied, 0, Tone::green},
      {at, 999ms, Kind::copied, 0, Tone::green},
      {at, 1s, Kind::countdown, 59, Tone::green},
      {at, 49s, Kind::countdown, 11, Tone::green},
      {at, 50s, Kind::countdown, 10, Tone::red},
      {at, 59s + 999ms, Kind::countdown, 1, Tone::red},
      {at, 60s, Kind::idle, 0, Tone::secondary},
      {at, -5s, Kind::copied, 0, Tone::green},
  };
  for (const auto& [sharedAt, elapsed, kind, remaining, tone] : cases) {
    const ShareIndicator shown = shareIndicator(sharedAt, at + elapsed);
    EXPECT_EQ(std::tuple(shown.kind, shown.remaining, shown.tone), std::tuple(kind, remaining, tone))
        << std::chrono::duration<double>(elapsed).count();
  }
}

TEST(SecretListRules, GroupUnlockedByALeadingSessionPrefix) {
  const std::vector<std::string> sessions = {"acme/"};
  // The group, whether the server runs, and whether the group shows unlocked.
  const std::tuple<const char*, bool, bool> cases[] = {{"acme", true, true},      {"acme/api", true, true},
                                                       {"acmecorp", true, false}, {"other", true, false},
                                                       {"", true, false},         {"acme", false, false}};
  for (const auto& [group, serverRunning, unlocked] : cases)
    EXPECT_EQ(isGroupUnlocked(group, serverRunning, sessions), unlocked) << group;
  EXPECT_FALSE(isGroupUnlocked("acme", true, {"acme/api/"}));
}

// The plural footers show in the list view's test.
TEST(SecretListRules, FooterAndNames) {
  EXPECT_EQ(footerText(1).toStdString(), "1 item");
  const std::pair<const char*, const char*> names[] = {
      {"acme/api/KEY", "KEY"}, {"TOP", "TOP"}, {"a//b", "b"}, {"a/b/", "b"}, {"/", "/"}};
  for (const auto& [account, name] : names) EXPECT_EQ(rowName(account), name);
}

class SecretListViewTest : public ViewsFixture {
 protected:
  // The rows as the list shows them, space-separated: secrets by name, headers as "[title]", or
  // "[title, unlocked]" when a session of the running server covers the group.
  std::string rows(const SecretListView& view) {
    std::string out;
    for (int i = 0; i < view.model().rowCount(); ++i) {
      const QModelIndex index = view.model().index(i);
      std::string text = index.data().toString().toStdString();
      if (!view.model().secret(i))
        text = "[" + text + (index.data(SecretListModel::UnlockedRole).toBool() ? ", unlocked]" : "]");
      out += (i ? " " : "") + text;
    }
    return out;
  }
  bool offersAddFirst(SecretListView& view) {
    return findByText<QPushButton>(view, "Add your first secret")->isVisibleTo(&view);
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
  EXPECT_TRUE(showsLabel(view, "No credentials stored"));
  EXPECT_TRUE(offersAddFirst(view));
  EXPECT_TRUE(showsLabel(view, "0 items"));

  for (const char* key : {"b/x/K2", "acme/api/KEY", "TOP", "b/x/K1", "acme//api/Z"}) put(key);
  EXPECT_EQ(rows(view), "[(ungrouped)] TOP [acme/api] Z KEY [b/x] K1 K2");
  // Rows act on the key itself, never on one rebuilt from folder and name.
  const std::pair<int, const char*> accounts[] = {{1, "TOP"}, {3, "acme//api/Z"}, {4, "acme/api/KEY"}};
  for (const auto& [row, account] : accounts) {
    EXPECT_EQ(view.model().data(view.model().index(row), SecretListModel::AccountRole).toString(), account);
  }

  // Collapsing keeps the header; the collapse survives a rebuild.
  view.model().toggleGroup(5);
  EXPECT_EQ(rows(view), "[(ungrouped)] TOP [acme/api] Z KEY [b/x]");
  reload();
  EXPECT_EQ(rows(view), "[(ungrouped)] TOP [acme/api] Z KEY [b/x]");
  view.model().toggleGroup(5);
  EXPECT_EQ(rows(view), "[(ungrouped)] TOP [acme/api] Z KEY [b/x] K1 K2");

  // The footer counts every secret while the filter hides some.
  auto* filter = view.findChild<QLineEdit*>();
  QTest::keyClicks(filter, "k2");
  settle();
  EXPECT_EQ(rows(view), "[b/x] K2");
  EXPECT_TRUE(showsLabel(view, "5 items"));

  QTest::keyClicks(filter, "zz");
  settle();
  EXPECT_TRUE(showsLabel(view, "No matches"));
  EXPECT_FALSE(offersAddFirst(view));
}

TEST_F(SecretListViewTest, ShareCountsDownFromTheClockAndASecondShareTakesOver) {
  for (const char* key : {"acme/api/KEY", "acme/api/OTHER"}) put(key);
  SecretListView view(services());
  view.resize(350, 460);
  view.show();
  clickShare(view, "acme/api/KEY");
  ASSERT_EQ(view.sharedAccount(), "acme/api/KEY");
  EXPECT_TRUE(clipboard->text()->starts_with("source <("));
  EXPECT_TRUE(view.countdownRunning());

  // The indicator is the rule's, read from the share's time and the clock; the rule's own table
  // holds the values at each of these steps.
  const auto start = now;
  for (const auto at : {0s, 1s, 50s, 60s}) {
    now = start + at;
    EXPECT_EQ(view.indicatorFor("acme/api/KEY"), shareIndicator(start, now)) << at.count();
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
  for (const char* key : {"acme/api/KEY", "other/KEY"}) put(key);
  test::TempHome home;
  ServerHost host(hostOptions(), mainQueue);
  ASSERT_TRUE(host.start());
  reload();
  SecretListView view(services());
  view.refreshUnlocked();
  EXPECT_EQ(rows(view), "[acme/api] KEY [other] KEY");

  ASSERT_TRUE(host.server().session().unlock("acme/", 60, SessionBinding{}, std::nullopt).unlocked());
  view.refreshUnlocked();
  EXPECT_EQ(rows(view), "[acme/api, unlocked] KEY [other] KEY");

  host.stop();
  view.refreshUnlocked();
  EXPECT_EQ(rows(view), "[acme/api] KEY [other] KEY");
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
