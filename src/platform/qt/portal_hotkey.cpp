#include "platform/qt/portal_hotkey.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QStringList>
#include <iostream>

namespace caskel::portal_detail {

// One entry of BindShortcuts' a(sa{sv}): the shortcut's id and its description and trigger.
struct Shortcut {
  QString id;
  QVariantMap options;
};

QDBusArgument& operator<<(QDBusArgument& argument, const Shortcut& shortcut) {
  argument.beginStructure();
  argument << shortcut.id << shortcut.options;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, Shortcut& shortcut) {
  argument.beginStructure();
  argument >> shortcut.id >> shortcut.options;
  argument.endStructure();
  return argument;
}

}  // namespace caskel::portal_detail

Q_DECLARE_METATYPE(caskel::portal_detail::Shortcut)

namespace caskel {

namespace {

const QString kService = "org.freedesktop.portal.Desktop";
const QString kPath = "/org/freedesktop/portal/desktop";
const QString kInterface = "org.freedesktop.portal.GlobalShortcuts";
const QString kRequest = "org.freedesktop.portal.Request";
const QString kShortcutId = "toggle-quick-access";

}  // namespace

QString portalTrigger(const GlobalKey& key) {
  QStringList parts;
  if (key.ctrl) parts << "CTRL";
  if (key.alt) parts << "ALT";
  if (key.shift) parts << "SHIFT";
  if (key.super) parts << "LOGO";
  // The key as its keysym name.
  const QString name = QString::fromStdString(key.key);
  if (name == "Space") {
    parts << "space";
  } else if (name == "Esc") {
    parts << "Escape";
  } else {
    parts << (name.size() == 1 ? name.toLower() : name);
  }
  return parts.join('+');
}

std::unique_ptr<PortalHotkey> PortalHotkey::forSession() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return nullptr;
  QDBusMessage get =
      QDBusMessage::createMethodCall(kService, kPath, "org.freedesktop.DBus.Properties", "Get");
  get << kInterface << QString("version");
  if (bus.call(get, QDBus::Block, 2000).type() != QDBusMessage::ReplyMessage) return nullptr;
  qDBusRegisterMetaType<portal_detail::Shortcut>();
  qDBusRegisterMetaType<QList<portal_detail::Shortcut>>();
  return std::unique_ptr<PortalHotkey>(new PortalHotkey);
}

PortalHotkey::~PortalHotkey() {
  unbind();
}

std::optional<std::string> PortalHotkey::bind(const GlobalKey& key, std::function<void()> pressed) {
  unbind();
  pressed_ = std::move(pressed);
  trigger_ = portalTrigger(key);
  QDBusConnection::sessionBus().connect(kService, kPath, kInterface, "Activated", this,
                                        SLOT(activated(QDBusMessage)));
  QVariantMap options;
  options["session_handle_token"] = QString("caskel%1").arg(++serial_);
  if (!request("CreateSession", {}, options, SLOT(sessionCreated(uint, QVariantMap)))) {
    unbind();
    return "the desktop portal is not reachable";
  }
  return std::nullopt;
}

void PortalHotkey::unbind() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.disconnect(kService, kPath, kInterface, "Activated", this, SLOT(activated(QDBusMessage)));
  if (!pendingRequest_.isEmpty()) {
    // An answer still on its way belongs to a binding that is gone.
    bus.disconnect(kService, pendingRequest_, kRequest, "Response", this,
                   SLOT(sessionCreated(uint, QVariantMap)));
    bus.disconnect(kService, pendingRequest_, kRequest, "Response", this,
                   SLOT(shortcutsBound(uint, QVariantMap)));
    pendingRequest_.clear();
  }
  if (!session_.isEmpty()) {
    bus.asyncCall(
        QDBusMessage::createMethodCall(kService, session_, "org.freedesktop.portal.Session", "Close"));
    session_.clear();
  }
  pressed_ = nullptr;
}

bool PortalHotkey::request(const QString& method, QList<QVariant> arguments, QVariantMap options,
                           const char* slot) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  // The portal answers on a request object whose path is known in advance; listening before
  // the call means no answer can come before we listen.
  const QString token = QString("caskel%1").arg(++serial_);
  const QString sender = bus.baseService().mid(1).replace('.', '_');
  pendingRequest_ = kPath + "/request/" + sender + "/" + token;
  if (!bus.connect(kService, pendingRequest_, kRequest, "Response", this, slot)) return false;
  options["handle_token"] = token;
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
  arguments << options;
  call.setArguments(arguments);
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
    watcher->deleteLater();
    if (watcher->isError()) refused(watcher->error().name());
  });
  return true;
}

void PortalHotkey::sessionCreated(uint response, const QVariantMap& results) {
  QDBusConnection::sessionBus().disconnect(kService, pendingRequest_, kRequest, "Response", this,
                                           SLOT(sessionCreated(uint, QVariantMap)));
  pendingRequest_.clear();
  session_ = results.value("session_handle").toString();
  if (response != 0 || session_.isEmpty()) {
    refused("response " + QString::number(response));
    return;
  }
  portal_detail::Shortcut shortcut{
      kShortcutId, {{"description", "Open or close Caskel's quick access"}, {"preferred_trigger", trigger_}}};
  const QList<QVariant> arguments = {QVariant::fromValue(QDBusObjectPath(session_)),
                                     QVariant::fromValue(QList<portal_detail::Shortcut>{shortcut}),
                                     QString()};
  request("BindShortcuts", arguments, {}, SLOT(shortcutsBound(uint, QVariantMap)));
}

void PortalHotkey::shortcutsBound(uint response, const QVariantMap&) {
  QDBusConnection::sessionBus().disconnect(kService, pendingRequest_, kRequest, "Response", this,
                                           SLOT(shortcutsBound(uint, QVariantMap)));
  pendingRequest_.clear();
  if (response != 0) refused("response " + QString::number(response));
}

void PortalHotkey::activated(const QDBusMessage& message) {
  const QList<QVariant> arguments = message.arguments();
  if (!pressed_ || arguments.size() < 2) return;
  if (arguments[0].value<QDBusObjectPath>().path() == session_ && arguments[1].toString() == kShortcutId)
    pressed_();
}

void PortalHotkey::refused(const QString& why) {
  // The same line as a refused key grab: the answer only comes after bind() returned.
  std::cout << "Caskel: failed to register hotkey: " << why.toStdString() << std::endl;
  unbind();
}

}  // namespace caskel
