#pragma once

#include <optional>
#include <string_view>

namespace caskel {

// A calendar day as people write it for expiry dates; turning it into an instant needs the
// local time zone, which is each side's own business.
struct CivilDate {
  int year;
  int month;
  int day;
};

// Exactly "yyyy-MM-dd" with four, two and two ASCII digits naming a real calendar day (year 1
// or later); nothing for anything else, 2026-02-30 included.
std::optional<CivilDate> parseCivilDate(std::string_view text);

}  // namespace caskel
