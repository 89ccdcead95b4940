#include "views/window_placement.h"

#include <algorithm>

namespace caskel {

QPoint windowPosition(QSize window, std::optional<QRect> trayIcon, QPoint pointer, QRect available) {
  const QRect anchor = trayIcon && trayIcon->isValid() ? *trayIcon : QRect(pointer, QSize(1, 1));
  int x = anchor.center().x() - window.width() / 2;
  const bool below = anchor.center().y() < available.center().y();
  int y = below ? anchor.bottom() + 1 : anchor.top() - window.height();
  // max after min: the minimum edges win when the window does not fit.
  x = std::max(available.left(), std::min(x, available.right() + 1 - window.width()));
  y = std::max(available.top(), std::min(y, available.bottom() + 1 - window.height()));
  return {x, y};
}

}  // namespace caskel
