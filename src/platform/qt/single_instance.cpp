#include "platform/qt/single_instance.h"

#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include "platform/file_system.h"

namespace caskel {

namespace {

constexpr int kClientTimeoutMs = 2000;
constexpr const char* kAccepted = "ok\n";
constexpr const char* kRefused = "refused\n";

}  // namespace

SingleInstance::SingleInstance(std::string path, QObject* parent) : QObject(parent), path_(std::move(path)) {
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

SingleInstance::~SingleInstance() {
  close();
}

bool SingleInstance::sendToRunning(instance::Command command, int timeoutMs) const {
  QLocalSocket socket;
  socket.connectToServer(QString::fromStdString(path_));
  if (!socket.waitForConnected(timeoutMs)) return false;
  QByteArray line = QByteArray::fromStdString(std::string(instance::commandText(command))) + '\n';
  socket.write(line);
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  while (!socket.canReadLine()) {
    if (!socket.waitForReadyRead(timeoutMs)) return false;
  }
  return socket.readLine() == kAccepted;
}

bool SingleInstance::listen() {
  if (!fs::ensurePrivateDirectory(fs::parentOf(path_))) return false;
  const QString name = QString::fromStdString(path_);
  if (server_.listen(name)) return true;
  if (server_.serverError() != QAbstractSocket::AddressInUseError) return false;
  // Left by a program that did not quit cleanly: replaced only when nobody answers on it.
  QLocalSocket probe;
  probe.connectToServer(name);
  if (probe.waitForConnected(500)) return false;
  QLocalServer::removeServer(name);
  return server_.listen(name);
}

void SingleInstance::close() {
  if (server_.isListening()) server_.close();
}

void SingleInstance::accept() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // A client that never finishes its line is not kept.
    QTimer::singleShot(kClientTimeoutMs, socket, [socket] { socket->abort(); });
    auto answer = [this, socket] {
      if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > static_cast<qint64>(instance::kMaxCommandBytes)) {
          socket->write(kRefused);
          socket->disconnectFromServer();
        }
        return;
      }
      QByteArray line = socket->readLine(instance::kMaxCommandBytes + 1);
      if (line.endsWith('\n')) line.chop(1);
      auto command =
          instance::parseCommand(std::string_view(line.constData(), static_cast<size_t>(line.size())));
      socket->write(command ? kAccepted : kRefused);
      socket->flush();
      socket->disconnectFromServer();
      if (command && onCommand) onCommand(*command);
    };
    connect(socket, &QLocalSocket::readyRead, this, answer);
    if (socket->bytesAvailable() > 0) answer();
  }
}

}  // namespace caskel
