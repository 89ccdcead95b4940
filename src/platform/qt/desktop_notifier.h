#pragma once

#include <QString>

namespace caskel {

// Desktop notifications through the freedesktop notification service on the session bus. The
// call is sent without waiting for its reply: with no service (or no bus) nothing is shown and
// nothing fails, and a slow service never holds up the window.
class DesktopNotifier {
 public:
  static constexpr const char* kService = "org.freedesktop.Notifications";
  static constexpr const char* kPath = "/org/freedesktop/Notifications";
  static constexpr const char* kInterface = "org.freedesktop.Notifications";

  // Shown as from "Caskel", with `subtitle` as the summary line.
  static void notify(const QString& subtitle, const QString& body);
};

}  // namespace caskel
