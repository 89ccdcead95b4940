#include "views/secret_list_rules.h"

#include <gtest/gtest.h>

#include <ctime>

#include "views/secret_badges.h"
#include "views/share_indicator.h"
#include "views/view_style.h"

namespace caskel {
namespace {

using namespace std::chrono_literals;

// A local wall-clock time, as the expiry dates are read in local time.
Clock::time_point local(int year, int month, int day, int hour) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_isdst = -1;
  return Clock::from_time_t(std::mktime(&tm));
}

SecretMetadata expiring(const char* date) {
  SecretMetadata m;
  m.expires = date;
  return m;
}

TEST(SecretBadges, TypeColours) {
  const struct {
    const char* type;
    QColor color;
  } cases[] = {{"api_key", style::blue},  {"client_id", style::cyan},    {"client_secret", style::indigo},
               {"token", style::purple},  {"login", style::purple},      {"password", style::orange},
               {"username", style::mint}, {"recovery_code", style::red}, {"certificate", style::green},
               {"dsn", style::teal},      {"ssh_key", style::gray},      {"API_KEY", style::gray},
               {"", style::gray}};
  for (const auto& c : cases) EXPECT_EQ(typeColor(c.type), c.color) << c.type;
}

TEST(SecretBadges, ExpiryLabelsAndColours) {
  const struct {
    const char* expires;
    Clock::time_point now;
    const char* label;
    QColor color;
  } cases[] = {
      {"2026-03-13", local(2026, 3, 1, 0), "12d", style::orange},
      {"2026-03-13", local(2026, 3, 1, 10), "11d", style::orange},  // whole days only
      {"2026-03-02", local(2026, 3, 1, 10), "0d", style::orange},
      {"2026-03-01", local(2026, 3, 1, 0), "0d", style::orange},  // midnight itself has not passed
      {"2026-03-01", local(2026, 3, 1, 10), "EXPIRED", style::red},
      {"2025-01-01", local(2026, 3, 1, 10), "EXPIRED", style::red},
      {"2025-02-30", local(2026, 3, 1, 10), "", style::orange},
      {"soon", local(2026, 3, 1, 10), "", style::orange},
  };
  for (const auto& c : cases) {
    const BadgeLook look = expiryBadge(expiring(c.expires), c.now);
    EXPECT_EQ(look.label.toStdString(), c.label) << c.expires;
    EXPECT_EQ(look.color, c.color) << c.expires;
  }
}

TEST(SecretBadges, RowShowsEachBadgeOnlyWhenItApplies) {
  const Clock::time_point now = local(2026, 3, 1, 10);
  SecretMetadata all;
  all.type = "token";
  all.bundle = "oauth";
  all.strict = true;
  all.expires = "2026-03-15";
  SecretMetadata far = all;
  far.expires = "2026-03-16";  // beyond 14 days
  far.strict = false;
  SecretMetadata bare;
  bare.desc = "only a description";
  const struct {
    std::optional<SecretMetadata> metadata;
    std::vector<BadgeKind> kinds;
    std::vector<std::string> labels;
  } cases[] = {
      {all,
       {BadgeKind::type, BadgeKind::bundle, BadgeKind::strict, BadgeKind::expiry},
       {"token", "{oauth}", "", "13d"}},
      {far, {BadgeKind::type, BadgeKind::bundle}, {"token", "{oauth}"}},
      {bare, {}, {}},
      {std::nullopt, {}, {}},
  };
  for (const auto& c : cases) {
    std::vector<BadgeKind> kinds;
    std::vector<std::string> labels;
    for (const BadgeLook& badge : rowBadges(c.metadata, now)) {
      kinds.push_back(badge.kind);
      labels.push_back(badge.label.toStdString());
    }
    EXPECT_EQ(kinds, c.kinds);
    EXPECT_EQ(labels, c.labels);
  }
}

TEST(ShareIndicatorRule, FollowsTheClock) {
  using Kind = ShareIndicator::Kind;
  using Tone = ShareIndicator::Tone;
  const Clock::time_point at = Clock::time_point(1'800'000'000s);
  const struct {
    std::optional<Clock::time_point> sharedAt;
    Clock::duration elapsed;
    Kind kind;
    int remaining;
    Tone tone;
  } cases[] = {
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
  for (const auto& c : cases) {
    const ShareIndicator indicator = shareIndicator(c.sharedAt, at + c.elapsed);
    EXPECT_EQ(indicator.kind, c.kind);
    EXPECT_EQ(indicator.remaining, c.remaining);
    EXPECT_EQ(indicator.tone, c.tone);
  }
}

TEST(SecretListRules, GroupUnlockedByALeadingSessionPrefix) {
  const std::vector<std::string> sessions = {"acme/"};
  const struct {
    const char* group;
    bool serverRunning;
    bool unlocked;
  } cases[] = {{"acme", true, true},   {"acme/api", true, true}, {"acmecorp", true, false},
               {"other", true, false}, {"", true, false},        {"acme", false, false}};
  for (const auto& c : cases)
    EXPECT_EQ(isGroupUnlocked(c.group, c.serverRunning, sessions), c.unlocked) << c.group;
  EXPECT_FALSE(isGroupUnlocked("acme", true, {"acme/api/"}));
}

TEST(SecretListRules, FooterAndNames) {
  EXPECT_EQ(footerText(0).toStdString(), "0 items");
  EXPECT_EQ(footerText(1).toStdString(), "1 item");
  EXPECT_EQ(footerText(2).toStdString(), "2 items");
  const std::pair<const char*, const char*> names[] = {
      {"acme/api/KEY", "KEY"}, {"TOP", "TOP"}, {"a//b", "b"}, {"a/b/", "b"}, {"/", "/"}};
  for (const auto& [account, name] : names) EXPECT_EQ(rowName(account), name);
}

}  // namespace
}  // namespace caskel
