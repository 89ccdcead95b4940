#include "store/secret_metadata.h"

#include <algorithm>
#include <ctime>
#include <nlohmann/json.hpp>
#include <utility>

#include "base/civil_date.h"
#include "store/grapheme_clusters.h"
#include "store/json_text.h"

namespace caskel {
namespace {

using Json = nlohmann::json;

// The text fields in declared order, with their JSON keys.
constexpr std::pair<const char*, std::optional<std::string> SecretMetadata::*> kTextFields[] = {
    {"type", &SecretMetadata::type}, {"bundle", &SecretMetadata::bundle},
    {"desc", &SecretMetadata::desc}, {"expires", &SecretMetadata::expires},
    {"peek", &SecretMetadata::peek}, {"rotate", &SecretMetadata::rotate},
};

constexpr int kDayClamp = 366 * 10000;

// Local calendar date of an instant as a comparable number (yyyymmdd).
long localDayKey(std::time_t t) {
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return 0;
  return (tm.tm_year + 1900L) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

// The first instant of a local calendar day. Where a time-zone change skips midnight, the day
// starts at the change, so the first instant whose local date is that day is searched for.
std::time_t startOfLocalDay(const CivilDate& date) {
  std::tm tm{};
  tm.tm_year = date.year - 1900;
  tm.tm_mon = date.month - 1;
  tm.tm_mday = date.day;
  tm.tm_isdst = -1;
  const std::time_t guess = std::mktime(&tm);
  if (tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0 && tm.tm_mday == date.day) return guess;

  const long key = date.year * 10000L + date.month * 100 + date.day;
  std::time_t low = guess - 2 * 86400;  // its local date is earlier than the wanted day
  std::time_t high = guess + 86400;     // its local date is not earlier
  while (high - low > 1) {
    const std::time_t mid = low + (high - low) / 2;
    (localDayKey(mid) < key ? low : high) = mid;
  }
  return high;
}

// The expiry as seconds since the epoch: local midnight of the day `expires` names.
std::optional<std::time_t> expirySeconds(const std::optional<std::string>& expires) {
  if (!expires) return std::nullopt;
  const auto date = parseCivilDate(*expires);
  if (!date) return std::nullopt;
  return startOfLocalDay(*date);
}

// The clock counts nanoseconds, so it ends in 2262; a later date (9999-12-31 is a common
// "never") saturates instead of overflowing.
Clock::time_point toTimePoint(std::time_t seconds) {
  using Seconds = std::chrono::seconds;
  constexpr auto kMax = std::chrono::duration_cast<Seconds>(Clock::duration::max()).count() - 1;
  constexpr auto kMin = std::chrono::duration_cast<Seconds>(Clock::duration::min()).count() + 1;
  if (seconds >= kMax) return Clock::time_point::max();
  if (seconds <= kMin) return Clock::time_point::min();
  return Clock::time_point(std::chrono::duration_cast<Clock::duration>(Seconds(seconds)));
}

}  // namespace

std::string SecretMetadata::toJson() const {
  Json object = Json::object();
  for (const auto& [key, member] : kTextFields) {
    if ((this->*member).has_value()) object[key] = *(this->*member);
  }
  if (strict.has_value()) object["strict"] = *strict;
  return toCompactJson(object);
}

std::optional<SecretMetadata> SecretMetadata::fromJson(std::string_view json) {
  const Json parsed = Json::parse(json.begin(), json.end(), nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return std::nullopt;  // also covers text that failed to parse
  SecretMetadata metadata;
  for (const auto& [key, member] : kTextFields) {
    const auto it = parsed.find(key);
    if (it == parsed.end() || it->is_null()) continue;
    if (!it->is_string()) return std::nullopt;
    metadata.*member = it->get<std::string>();
  }
  if (const auto it = parsed.find("strict"); it != parsed.end() && !it->is_null()) {
    if (!it->is_boolean()) return std::nullopt;
    metadata.strict = it->get<bool>();
  }
  return metadata;
}

std::optional<Clock::time_point> SecretMetadata::expiryDate() const {
  const auto seconds = expirySeconds(expires);
  if (!seconds) return std::nullopt;
  return toTimePoint(*seconds);
}

bool SecretMetadata::isExpiring(int withinDays, Clock::time_point now) const {
  const auto expiry = expirySeconds(expires);
  if (!expiry) return false;
  if (toTimePoint(*expiry) < now) return true;
  // Calendar days: the same wall-clock time `withinDays` days later, whatever DST does between.
  // Whole seconds suffice: the expiry is a whole second and the dropped fraction is below one.
  const std::time_t nowSeconds = std::chrono::floor<std::chrono::seconds>(now.time_since_epoch()).count();
  std::tm tm{};
  if (localtime_r(&nowSeconds, &tm) == nullptr) return false;
  // Beyond ten thousand years every expiry date is on the same side.
  tm.tm_mday += std::clamp(withinDays, -kDayClamp, kDayClamp);
  tm.tm_isdst = -1;
  return *expiry <= std::mktime(&tm);
}

bool SecretMetadata::isExpired(Clock::time_point now) const {
  const auto expiry = expiryDate();
  return expiry && *expiry < now;
}

std::string firstCharacters(std::string_view text, size_t count) {
  size_t end = 0;
  for (size_t i = 0; i < count && end < text.size(); ++i) end = nextCharacterBoundary(text, end);
  return std::string(text.substr(0, end));
}

size_t characterCount(std::string_view text) {
  size_t count = 0;
  for (size_t pos = 0; pos < text.size(); pos = nextCharacterBoundary(text, pos)) ++count;
  return count;
}

std::optional<std::string> peekOf(std::string_view value) {
  constexpr size_t kShortest = 8;
  constexpr size_t kLongest = 8;
  const size_t count = characterCount(value);
  if (count < kShortest) return std::nullopt;
  return firstCharacters(value, std::min(kLongest, count / 4));
}

}  // namespace caskel
