#include "platform/qt/desktop_notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace caskel {

void DesktopNotifier::notify(const QString& subtitle, const QString& body) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
  // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the
  // server's default).
  call << QString("Caskel") << 0u << QString("dialog-password") << subtitle << body << QStringList()
       << QVariantMap() << -1;
  // Sent without waiting for the reply (the notification's id, which nothing here needs).
  bus.send(call);
}

}  // namespace caskel
