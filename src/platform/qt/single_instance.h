#pragma once

#include <QLocalServer>
#include <QObject>
#include <functional>
#include <string>

#include "base/instance_protocol.h"

namespace caskel {

// One desktop program per user: the first listens on its socket, later starts send it a
// command and exit. The socket's directory is the server socket's private one (0700), so only
// the user can reach it. Main thread only.
class SingleInstance final : public QObject {
 public:
  explicit SingleInstance(std::string path, QObject* parent = nullptr);
  ~SingleInstance() override;

  // Asks the running program to do `command`; true when it answered that it will.
  bool sendToRunning(instance::Command command, int timeoutMs = 3000) const;
  // Listens for commands; a socket file nobody listens on is replaced. False when the
  // directory cannot be made private or another program listens.
  bool listen();
  // Stops listening and removes the socket file.
  void close();

  std::function<void(instance::Command)> onCommand;
  const std::string& path() const { return path_; }

 private:
  void accept();

  std::string path_;
  QLocalServer server_;
};

}  // namespace caskel
