#pragma once

#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/global_hotkey.h"

namespace caskel {

// The shortcut as the trigger text of the freedesktop shortcuts convention ("CTRL+SHIFT+1",
// "LOGO+ALT+space").
QString portalTrigger(const GlobalKey& key);

// The shortcut through the XDG desktop portal's GlobalShortcuts interface (Wayland desktops):
// a session with one shortcut, whose key the desktop lets the user approve or change. Binding
// runs on the session bus in the background; a refusal prints the failure line when the
// answer comes. Main thread only.
class PortalHotkey final : public QObject, public GlobalHotkey {
  Q_OBJECT

 public:
  // Nothing when the session bus has no portal offering global shortcuts.
  static std::unique_ptr<PortalHotkey> forSession();

  ~PortalHotkey() override;
  std::string mechanism() const override { return "desktop portal"; }
  std::optional<std::string> bind(const GlobalKey& key, std::function<void()> pressed) override;
  void unbind() override;

 private slots:
  void sessionCreated(uint response, const QVariantMap& results);
  void shortcutsBound(uint response, const QVariantMap& results);
  // Activated(o session, s id, t timestamp, a{sv} options), taken whole.
  void activated(const QDBusMessage& message);

 private:
  PortalHotkey() = default;
  // Calls a portal method whose answer comes as a Request's Response signal, to `slot`.
  bool request(const QString& method, QList<QVariant> arguments, QVariantMap options, const char* slot);
  void refused(const QString& why);

  QString trigger_;
  QString session_;
  QString pendingRequest_;
  std::function<void()> pressed_;
  int serial_ = 0;
};

}  // namespace caskel
