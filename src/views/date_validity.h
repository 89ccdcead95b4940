#pragma once

#include <QString>

namespace caskel {

// A real calendar date written exactly as yyyy-MM-dd (2025-02-28; not 2025-02-30, 2025-13-01 or
// 2025-2-28). Empty text is not a date: forms that allow an empty expiry check that first.
bool isValidDate(const QString& text);

// What the forms accept as an expiry: nothing, or a valid date.
inline bool isAcceptableExpiry(const QString& text) {
  return text.isEmpty() || isValidDate(text);
}

}  // namespace caskel
