#pragma once

#include <QColor>
#include <QString>
#include <array>
#include <optional>
#include <string_view>

#include "store/secret_metadata.h"

namespace caskel {

// The capsules a list row shows after a secret's name.
enum class BadgeKind { type, bundle, strict, expiry };

// How a badge reads: `color` is the label's colour, the capsule is filled with it at a low
// opacity. A bundle badge's colour is the palette's secondary one, so it carries none here.
struct BadgeLook {
  BadgeKind kind = BadgeKind::type;
  QString label;
  QColor color;
};

// The badges of one row, in drawing order (a fixed array: rows are painted by the thousand).
struct RowBadges {
  std::array<BadgeLook, 4> items;
  int count = 0;
  const BadgeLook* begin() const { return items.data(); }
  const BadgeLook* end() const { return items.data() + count; }
};

// The colour of a type; gray for any type without one of its own.
QColor typeColor(std::string_view type);
QString bundleLabel(std::string_view bundle);
// "EXPIRED" (red) once the day has begun, else the whole days left ("12d", "0d") in orange;
// an empty orange label when the date does not parse.
BadgeLook expiryBadge(const SecretMetadata& metadata, Clock::time_point now);
// Type, bundle, strict and expiry, each only when it applies; expiry only within 14 days.
RowBadges rowBadges(const std::optional<SecretMetadata>& metadata, Clock::time_point now);

}  // namespace caskel
