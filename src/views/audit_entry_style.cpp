#include "views/audit_entry_style.h"

#include <QDateTime>

#include "base/civil_date.h"
#include "views/view_style.h"

namespace caskel {

namespace {

// Two ASCII digits at `at`, or -1.
int twoDigits(std::string_view text, size_t at) {
  if (at + 2 > text.size()) return -1;
  char a = text[at], b = text[at + 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
  return (a - '0') * 10 + (b - '0');
}

}  // namespace

QColor auditOperationColor(std::string_view operation, const QPalette& palette) {
  if (operation == "GET") return style::blue;
  if (operation == "SET") return style::green;
  if (operation == "DELETE") return style::red;
  if (operation == "ROTATE" || operation == "SHARE") return style::orange;
  if (operation == "UNLOCK") return style::purple;
  if (operation == "LOCK") return style::secondary(palette);
  return style::primary(palette);
}

AuditOutcomeMark auditOutcomeMark(std::string_view result) {
  if (result.starts_with("ok")) return {"checkmark.circle.fill", style::green};
  if (result.find("canceled") != std::string_view::npos || result.find("failed") != std::string_view::npos) {
    return {"xmark.circle.fill", style::red};
  }
  return {"exclamationmark.circle.fill", style::red};
}

std::optional<std::chrono::system_clock::time_point> parseAuditTimestamp(std::string_view text) {
  using namespace std::chrono;
  if (text.size() < 20 || text[10] != 'T' || text[13] != ':' || text[16] != ':') return std::nullopt;
  auto date = parseCivilDate(text.substr(0, 10));
  int hour = twoDigits(text, 11), minute = twoDigits(text, 14), second = twoDigits(text, 17);
  if (!date || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
    return std::nullopt;
  int offset = 0;  // seconds east of UTC
  std::string_view zone = text.substr(19);
  if (zone != "Z") {
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') return std::nullopt;
    int zoneHours = twoDigits(zone, 1), zoneMinutes = twoDigits(zone, 4);
    if (zoneHours < 0 || zoneHours > 23 || zoneMinutes < 0 || zoneMinutes > 59) return std::nullopt;
    offset = (zoneHours * 3600 + zoneMinutes * 60) * (zone[0] == '-' ? -1 : 1);
  }
  sys_days day{year{date->year} / month{static_cast<unsigned>(date->month)} /
               std::chrono::day{static_cast<unsigned>(date->day)}};
  return system_clock::time_point(day) + hours(hour) + minutes(minute) + seconds(second) - seconds(offset);
}

QString auditRelativeTime(std::string_view timestamp, std::chrono::system_clock::time_point now,
                          const QLocale& locale) {
  auto when = parseAuditTimestamp(timestamp);
  if (!when) return QString::fromUtf8(timestamp.data(), static_cast<qsizetype>(timestamp.size()));
  auto ago = std::chrono::duration_cast<std::chrono::seconds>(now - *when).count();
  if (ago < 60) return QStringLiteral("just now");
  if (ago < 3600) return QString::number(ago / 60) + "m ago";
  if (ago < 86400) return QString::number(ago / 3600) + "h ago";
  auto epoch = std::chrono::duration_cast<std::chrono::seconds>(when->time_since_epoch()).count();
  return locale.toString(QDateTime::fromSecsSinceEpoch(epoch).toLocalTime(), QStringLiteral("MMM d, HH:mm"));
}

}  // namespace caskel
