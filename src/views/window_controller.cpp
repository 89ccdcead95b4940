#include "views/window_controller.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QKeySequence>
#include <QScreen>
#include <QShortcut>

#include "views/main_window.h"
#include "views/prompt_tracker.h"
#include "views/window_placement.h"

namespace caskel {

namespace {

constexpr auto kClickAfterFocusLoss = std::chrono::milliseconds(400);

}  // namespace

WindowController::WindowController(MainWindow& window, ViewServices& services, Mode mode)
    : window_(window), services_(services), mode_(mode) {
  applyFlags();
  window_.installEventFilter(this);
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), &window_);
  connect(escape, &QShortcut::activated, this, &WindowController::close);
  services_.prompts.onIdle = [this] { closeIfInactive(); };
}

WindowController::~WindowController() {
  services_.prompts.onIdle = nullptr;
  window_.removeEventFilter(this);
}

void WindowController::applyFlags() {
  const bool visible = window_.isVisible();
  if (mode_ == Mode::popup) {
    window_.setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  } else {
    window_.setWindowFlags(Qt::Window);
  }
  // Changing the flags hides a shown window.
  if (visible) window_.show();
}

void WindowController::setMode(Mode mode) {
  if (mode == mode_) return;
  mode_ = mode;
  applyFlags();
}

bool WindowController::isOpen() const {
  return window_.isVisible();
}

void WindowController::open(std::optional<QRect> trayIcon) {
  if (mode_ == Mode::popup) {
    const QPoint pointer = QCursor::pos();
    QScreen* screen =
        QGuiApplication::screenAt(trayIcon && trayIcon->isValid() ? trayIcon->center() : pointer);
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (screen) {
      window_.move(windowPosition(window_.size(), trayIcon, pointer, screen->availableGeometry()));
    }
  }
  closedByFocusLoss_.reset();
  window_.show();
  window_.raise();
  window_.activateWindow();
}

void WindowController::close() {
  window_.hide();
}

void WindowController::toggle(std::optional<QRect> trayIcon) {
  if (isOpen()) {
    close();
    return;
  }
  if (closedByFocusLoss_ && services_.now() - *closedByFocusLoss_ < kClickAfterFocusLoss) {
    closedByFocusLoss_.reset();
    return;
  }
  open(trayIcon);
}

void WindowController::closeIfInactive() {
  if (mode_ != Mode::popup || active_ || !isOpen() || services_.prompts.busy()) return;
  closedByFocusLoss_ = services_.now();
  close();
}

bool WindowController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == &window_) {
    if (event->type() == QEvent::WindowActivate) {
      active_ = true;
    } else if (event->type() == QEvent::WindowDeactivate) {
      active_ = false;
      // While a prompt is open it has the focus; the window waits for the prompt to end.
      closeIfInactive();
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace caskel
