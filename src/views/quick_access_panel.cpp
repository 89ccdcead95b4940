#include "views/quick_access_panel.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include "views/quick_access_rules.h"

namespace caskel {

QuickAccessPanel::QuickAccessPanel(ViewServices& services, std::function<std::string()> shortcutText,
                                   QuickAccessTimings timings)
    : services_(services), shortcutText_(std::move(shortcutText)), timings_(timings) {}

QuickAccessPanel::~QuickAccessPanel() {
  delete window_;
}

void QuickAccessPanel::toggle() {
  if (isVisible()) {
    hidePanel();
  } else {
    openPanel();
  }
}

void QuickAccessPanel::openPanel() {
  hidePanel();
  window_ = new QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  window_->setWindowTitle("Caskel");
  window_->setFixedSize(kWidth, kHeight);
  auto* layout = new QVBoxLayout(window_);
  layout->setContentsMargins(0, 0, 0, 0);
  view_ = new QuickAccessView(services_, QString::fromStdString(shortcutText_ ? shortcutText_() : ""),
                              timings_, window_);
  layout->addWidget(view_);
  connect(view_, &QuickAccessView::dismissed, this, &QuickAccessPanel::hidePanel);

  const QPoint pointer = QCursor::pos();
  QScreen* screen = QGuiApplication::screenAt(pointer);
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect available = screen ? screen->availableGeometry() : QRect();
  window_->move(quickAccessPosition(window_->size(), pointer, available));
  window_->show();
  window_->raise();
  window_->activateWindow();
  view_->start();
}

void QuickAccessPanel::hidePanel() {
  if (!window_) return;
  // Deleted later, since this may run inside one of the view's own signals; until then it can
  // no longer close the panel, which may by then show the next opening.
  if (view_) disconnect(view_, nullptr, this, nullptr);
  window_->hide();
  window_->deleteLater();
  std::erase_if(closed_, [](const QPointer<QWidget>& window) { return window.isNull(); });
  closed_.push_back(window_);
  window_ = nullptr;
  view_ = nullptr;
}

}  // namespace caskel
