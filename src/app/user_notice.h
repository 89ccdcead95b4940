#pragma once

#include <string>

namespace caskel {

// A desktop notification as the screens word it; the notifier adds the app name "Caskel".
struct UserNotice {
  std::string subtitle;
  std::string body;
  bool operator==(const UserNotice&) const = default;
};

}  // namespace caskel
