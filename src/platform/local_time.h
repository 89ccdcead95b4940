#pragma once

#include <ctime>
#include <string>

namespace caskel {

// Local date and time to the second with the numeric UTC offset, "Z" at offset zero:
// 2026-03-01T09:15:02+01:00. Uses the process's time zone as last set by tzset().
std::string localIso8601Now();
// The same text for a broken-down local time; the offset comes from tm_gmtoff.
std::string formatIso8601(const std::tm& local);

}  // namespace caskel
