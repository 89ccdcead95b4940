#pragma once

#include <QObject>
#include <QRect>
#include <chrono>
#include <optional>

#include "views/view_services.h"

namespace caskel {

class MainWindow;

// How the window behaves as the tray's drop-down: frameless, without a taskbar entry, placed
// under the tray icon (or near the pointer), closed when it loses the focus unless a prompt it
// caused is open, closed by Escape. Without a tray it is a normal window that closing hides.
class WindowController final : public QObject {
 public:
  enum class Mode { popup, normal };

  WindowController(MainWindow& window, ViewServices& services, Mode mode);
  ~WindowController() override;

  Mode mode() const { return mode_; }
  void setMode(Mode mode);
  // The tray icon's geometry, when the tray reports one, places the drop-down.
  void open(std::optional<QRect> trayIcon = std::nullopt);
  void close();
  // A tray click: opens a closed window, closes an open one.
  void toggle(std::optional<QRect> trayIcon = std::nullopt);
  bool isOpen() const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void applyFlags();
  void closeIfInactive();

  MainWindow& window_;
  ViewServices& services_;
  Mode mode_;
  bool active_ = false;
  // When focus loss last closed the drop-down: the click on the tray icon that took the focus
  // arrives right after and must not open it again.
  std::optional<ViewServices::Clock::time_point> closedByFocusLoss_;
};

}  // namespace caskel
