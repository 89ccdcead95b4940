#include "views/secret_badges.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <utility>

#include "views/view_style.h"

namespace caskel {

namespace {

constexpr int kExpiryWindowDays = 14;

// Whole calendar days from `now` to `expiry` (local time, so a DST change in between does not
// cost a day); 0 when the local calendar cannot say.
long wholeDaysUntil(Clock::time_point now, Clock::time_point expiry) {
  using std::chrono::seconds;
  const std::time_t from = std::chrono::floor<seconds>(now.time_since_epoch()).count();
  const std::time_t to = std::chrono::floor<seconds>(expiry.time_since_epoch()).count();
  std::tm start{};
  if (to <= from || localtime_r(&from, &start) == nullptr) return 0;
  auto dayAfter = [&](long days) -> std::optional<std::time_t> {
    std::tm t = start;
    t.tm_mday += static_cast<int>(days);
    t.tm_isdst = -1;
    const std::time_t s = std::mktime(&t);
    if (s == static_cast<std::time_t>(-1)) return std::nullopt;
    return s;
  };
  // Start from the plain 24-hour estimate and correct it by the calendar.
  long days = std::clamp<long>(static_cast<long>((to - from) / 86400), 0, 366L * 10000);
  for (int step = 0; step < 4; ++step) {
    const auto at = dayAfter(days);
    if (!at) return 0;
    if (*at > to) {
      --days;
      continue;
    }
    const auto next = dayAfter(days + 1);
    if (!next) return 0;
    if (*next <= to) {
      ++days;
      continue;
    }
    break;
  }
  return std::max(days, 0L);
}

}  // namespace

QColor typeColor(std::string_view type) {
  static const std::pair<std::string_view, const QColor*> kColors[] = {
      {"api_key", &style::blue},  {"client_id", &style::cyan},    {"client_secret", &style::indigo},
      {"token", &style::purple},  {"login", &style::purple},      {"password", &style::orange},
      {"username", &style::mint}, {"recovery_code", &style::red}, {"certificate", &style::green},
      {"dsn", &style::teal},
  };
  for (const auto& [name, color] : kColors) {
    if (name == type) return *color;
  }
  return style::gray;
}

QString bundleLabel(std::string_view bundle) {
  return QStringLiteral("{") + QString::fromUtf8(bundle.data(), static_cast<qsizetype>(bundle.size())) +
         QStringLiteral("}");
}

BadgeLook expiryBadge(const SecretMetadata& metadata, Clock::time_point now) {
  const auto expiry = metadata.expiryDate();
  if (!expiry) return {BadgeKind::expiry, QString(), style::orange};
  if (*expiry < now) return {BadgeKind::expiry, QStringLiteral("EXPIRED"), style::red};
  return {BadgeKind::expiry, QString::number(wholeDaysUntil(now, *expiry)) + QLatin1Char('d'), style::orange};
}

RowBadges rowBadges(const std::optional<SecretMetadata>& metadata, Clock::time_point now) {
  RowBadges out;
  if (!metadata) return out;
  auto add = [&](BadgeLook look) { out.items[static_cast<size_t>(out.count++)] = std::move(look); };
  if (metadata->type) {
    add({BadgeKind::type, QString::fromStdString(*metadata->type), typeColor(*metadata->type)});
  }
  if (metadata->bundle) add({BadgeKind::bundle, bundleLabel(*metadata->bundle), QColor()});
  if (metadata->strict.value_or(false)) add({BadgeKind::strict, QString(), style::red});
  if (metadata->isExpiring(kExpiryWindowDays, now)) add(expiryBadge(*metadata, now));
  return out;
}

}  // namespace caskel
