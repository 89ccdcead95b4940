#include "platform/qt/desktop_notifier.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QObject>
#include <QSignalSpy>
#include <QStringList>
#include <QVariantMap>

namespace caskel {
namespace {

// The notification service, as a desktop runs it, on a bus connection of its own.
class FakeNotifications : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  struct Shown {
    QString app, summary, body;
  };
  QList<Shown> shown;

 public slots:
  uint Notify(const QString& app, uint, const QString&, const QString& summary, const QString& body,
              const QStringList&, const QVariantMap&, int) {
    shown.push_back({app, summary, body});
    emit notified();
    return static_cast<uint>(shown.size());
  }

 signals:
  void notified();
};

TEST(DesktopNotifier, ReachesTheSessionsNotificationService) {
  // No service yet: the call goes nowhere and nothing fails.
  DesktopNotifier::notify("Nobody", "listens");

  QDBusConnection service = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake-notifications");
  ASSERT_TRUE(service.isConnected());
  FakeNotifications fake;
  ASSERT_TRUE(service.registerObject(DesktopNotifier::kPath, &fake, QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(service.registerService(DesktopNotifier::kService));

  QSignalSpy notified(&fake, &FakeNotifications::notified);
  DesktopNotifier::notify("Found 2 .env files", "Run 'caskel scan' in your terminal to import.");
  ASSERT_TRUE(notified.wait(10000));
  ASSERT_EQ(fake.shown.size(), 1);
  EXPECT_EQ(fake.shown[0].app, "Caskel");
  EXPECT_EQ(fake.shown[0].summary, "Found 2 .env files");
  EXPECT_EQ(fake.shown[0].body, "Run 'caskel scan' in your terminal to import.");

  service.unregisterService(DesktopNotifier::kService);
  QDBusConnection::disconnectFromBus("fake-notifications");
}

}  // namespace
}  // namespace caskel

#include "desktop_notifier_test.moc"
