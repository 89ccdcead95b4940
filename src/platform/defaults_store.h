#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/file_system.h"

namespace caskel {

// The user defaults ("caskel.*" keys) in defaults.json in the configuration directory.
// Reads re-load the file only when its stamp changed, so a change made by another process is
// seen on the next read while an unchanged file costs one stat(). Writes are atomic (0600).
class DefaultsStore {
 public:
  explicit DefaultsStore(std::string path);
  // The process-wide store at <configDirectory>/defaults.json.
  static DefaultsStore& shared();

  std::optional<bool> boolValue(const std::string& key);
  std::optional<int64_t> integerValue(const std::string& key);
  std::optional<double> numberValue(const std::string& key);
  void setBool(const std::string& key, bool value);
  void setInteger(const std::string& key, int64_t value);
  void setNumber(const std::string& key, double value);
  void remove(const std::string& key);
  const std::string& path() const { return path_; }

 private:
  void refreshLocked();
  void writeLocked();

  std::string path_;
  std::mutex mutex_;
  nlohmann::json values_ = nlohmann::json::object();
  std::optional<fs::FileStamp> stamp_;
  bool loaded_ = false;
};

namespace defaults_keys {
inline constexpr const char* kAuditLogEnabled = "caskel.auditLogEnabled";
inline constexpr const char* kShareTimeout = "caskel.shareTimeout";
inline constexpr const char* kAclMigrated = "caskel.aclMigrated";
inline constexpr const char* kOnboardingDone = "caskel.onboardingDone";
inline constexpr const char* kHotkeyKeyCode = "caskel.hotkey.keyCode";
inline constexpr const char* kHotkeyModifiers = "caskel.hotkey.modifiers";
}  // namespace defaults_keys

}  // namespace caskel
