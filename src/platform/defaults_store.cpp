#include "platform/defaults_store.h"

#include <cmath>
#include <limits>

namespace caskel {

namespace {

// The file holds a handful of flags and numbers; anything larger is not ours.
constexpr size_t kMaxDefaultsBytes = 1024 * 1024;

nlohmann::json parseObject(const std::optional<std::string>& text) {
  if (!text) return nlohmann::json::object();
  nlohmann::json parsed = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) return nlohmann::json::object();
  return parsed;
}

}  // namespace

DefaultsStore::DefaultsStore(std::string path) : path_(std::move(path)) {}

DefaultsStore& DefaultsStore::shared() {
  static DefaultsStore store(fs::configDirectory() + "/defaults.json");
  return store;
}

void DefaultsStore::refreshLocked() {
  // Stat before reading: the content read is then at least as new as the stamp kept, so a
  // change racing with the read costs at most one extra reload, never a missed one.
  std::optional<fs::FileStamp> stamp = fs::stampOf(path_);
  if (loaded_ && stamp == stamp_) return;
  values_ = stamp ? parseObject(fs::readFile(path_, kMaxDefaultsBytes)) : nlohmann::json::object();
  stamp_ = stamp;
  loaded_ = true;
}

void DefaultsStore::writeLocked() {
  std::string text = values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  if (fs::writeFileAtomically(path_, text, 0600)) {
    // Re-read on the next access instead of stamping now: another writer may have renamed its
    // file in between, and its content must not be hidden behind our stamp.
    loaded_ = false;
  }
  // On failure the in-memory value stays in force until the file itself changes.
}

std::optional<bool> DefaultsStore::boolValue(const std::string& key) {
  std::lock_guard lock(mutex_);
  refreshLocked();
  auto it = values_.find(key);
  if (it == values_.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

std::optional<int64_t> DefaultsStore::integerValue(const std::string& key) {
  std::lock_guard lock(mutex_);
  refreshLocked();
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  if (it->is_number_integer() && !it->is_number_unsigned()) return it->get<int64_t>();
  if (it->is_number_unsigned()) {
    uint64_t v = it->get<uint64_t>();
    if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(v);
  }
  if (it->is_number_float()) {
    // A whole number written as 18.0 (by hand or another tool) still counts as an integer.
    double d = it->get<double>();
    if (std::isfinite(d) && d == std::trunc(d) && d >= -9.2e18 && d <= 9.2e18) return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

std::optional<double> DefaultsStore::numberValue(const std::string& key) {
  std::lock_guard lock(mutex_);
  refreshLocked();
  auto it = values_.find(key);
  if (it == values_.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

void DefaultsStore::setBool(const std::string& key, bool value) {
  std::lock_guard lock(mutex_);
  refreshLocked();
  values_[key] = value;
  writeLocked();
}

void DefaultsStore::setInteger(const std::string& key, int64_t value) {
  std::lock_guard lock(mutex_);
  refreshLocked();
  values_[key] = value;
  writeLocked();
}

void DefaultsStore::setNumber(const std::string& key, double value) {
  std::lock_guard lock(mutex_);
  refreshLocked();
  // JSON has no NaN or infinity; such a value would come back as null, so it is not stored.
  if (!std::isfinite(value)) return;
  values_[key] = value;
  writeLocked();
}

void DefaultsStore::remove(const std::string& key) {
  std::lock_guard lock(mutex_);
  refreshLocked();
  if (values_.erase(key) == 0) return;
  writeLocked();
}

}  // namespace caskel
