#include "views/quick_access_panel.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include "views/quick_access_rules.h"

namespace caskel {

QuickAccessPanel::QuickAccessPanel(ViewServices& services, std::function<std::string()> shortcutText,
                                   QuickAccessTimings timings)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      services_(services),
      shortcutText_(std::move(shortcutText)),
      timings_(timings) {
  setWindowTitle("Caskel");
  setFixedSize(kWidth, kHeight);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
}

QuickAccessPanel::~QuickAccessPanel() {
  delete view_;
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
  view_ = new QuickAccessView(services_, QString::fromStdString(shortcutText_ ? shortcutText_() : ""),
                              timings_, this);
  layout()->addWidget(view_);
  connect(view_, &QuickAccessView::dismissed, this, &QuickAccessPanel::hidePanel);

  const QPoint pointer = QCursor::pos();
  QScreen* screen = QGuiApplication::screenAt(pointer);
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect available = screen ? screen->availableGeometry() : QRect();
  move(quickAccessPosition(size(), pointer, available));
  show();
  raise();
  activateWindow();
  view_->start();
}

void QuickAccessPanel::hidePanel() {
  hide();
  if (!view_) return;
  // Deleted later, since this may run inside one of the view's own signals; until then it can
  // no longer close the panel, which may by then show the next opening.
  disconnect(view_, nullptr, this, nullptr);
  view_->hide();
  view_->deleteLater();
  view_ = nullptr;
}

}  // namespace caskel
