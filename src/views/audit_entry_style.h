#pragma once

#include <QColor>
#include <QLocale>
#include <QPalette>
#include <QString>
#include <chrono>
#include <optional>
#include <string_view>

namespace caskel {

// How one audit record reads in the viewer.

// GET blue, SET green, DELETE red, ROTATE and SHARE orange, UNLOCK purple, LOCK secondary,
// anything else (NEW_CALLER among them) primary.
QColor auditOperationColor(std::string_view operation, const QPalette& palette);

// The outcome icon: a green check for results beginning "ok", a red cross for those that
// mention "canceled" or "failed", a red exclamation mark otherwise.
struct AuditOutcomeMark {
  const char* symbol;
  QColor color;
};
AuditOutcomeMark auditOutcomeMark(std::string_view result);

// A record's time stamp "yyyy-MM-ddTHH:mm:ss" followed by "Z" or "+hh:mm"/"-hh:mm", as an
// instant; nothing for any other text.
std::optional<std::chrono::system_clock::time_point> parseAuditTimestamp(std::string_view text);

// "just now" under a minute (a future time included), "5m ago", "3h ago", and from a day on
// the local date and time as "MMM d, HH:mm" in `locale`; an unparsable text stays as it is.
QString auditRelativeTime(std::string_view timestamp, std::chrono::system_clock::time_point now,
                          const QLocale& locale = QLocale());

}  // namespace caskel
