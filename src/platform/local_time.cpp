#include "platform/local_time.h"

#include <cstdio>
#include <cstdlib>

namespace caskel {

std::string formatIso8601(const std::tm& local) {
  char date[64];
  if (std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local) == 0) return {};
  long offset = local.tm_gmtoff;
  if (offset == 0) return std::string(date) + "Z";
  // Seconds of historic offsets are dropped: the format has hours and minutes only.
  // Real offsets stay within a day; the clamp also bounds the text.
  long minutes = std::labs(offset) / 60 % (100 * 60);
  char zone[24];
  std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return std::string(date) + zone;
}

std::string localIso8601Now() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (::localtime_r(&now, &local) == nullptr) return {};
  return formatIso8601(local);
}

}  // namespace caskel
