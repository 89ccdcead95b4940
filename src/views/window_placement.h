#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <optional>

namespace caskel {

// Where the window opens: centred on the tray icon, below it when the icon sits in the upper
// half of the screen and above it otherwise (a panel at the bottom); without the icon's
// geometry, the same around the pointer. Then kept inside the screen's available area; where
// the window is larger than that area, its left and top edges win.
QPoint windowPosition(QSize window, std::optional<QRect> trayIcon, QPoint pointer, QRect available);

}  // namespace caskel
