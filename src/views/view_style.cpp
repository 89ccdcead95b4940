#include "views/view_style.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPainter>
#include <QPixmap>

#include "views/icon_table.h"

namespace caskel::style {

QColor primary(const QPalette& palette) {
  return palette.color(QPalette::WindowText);
}
QColor secondary(const QPalette& palette) {
  return palette.color(QPalette::PlaceholderText);
}
QColor tertiary(const QPalette& palette) {
  return withOpacity(secondary(palette), 0.6);
}

QColor withOpacity(QColor color, double opacity) {
  color.setAlphaF(static_cast<float>(color.alphaF() * opacity));
  return color;
}

QFont body() {
  return QApplication::font();
}

QFont scaled(const QFont& font, double pointsAt13) {
  QFont f = font;
  double base = body().pointSizeF() > 0 ? body().pointSizeF() : 10;
  f.setPointSizeF(base * pointsAt13 / 13.0);
  return f;
}

QFont sized(QFont font, double pointsAt13, bool bold) {
  QFont f = scaled(font, pointsAt13);
  if (bold) f.setBold(true);
  return f;
}

QFont caption() {
  return scaled(body(), 13 * 0.85);
}

QFont headline() {
  QFont f = body();
  f.setBold(true);
  return f;
}

QFont monospaced() {
  QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  if (body().pointSizeF() > 0) f.setPointSizeF(body().pointSizeF());
  return f;
}

QIcon symbolIcon(const QString& symbol) {
  const IconEntry* entry = findIcon(symbol.toStdString());
  if (!entry) return {};
  QIcon fallback(QString(":/icons/") + entry->fallback);
  if (entry->themeName && *entry->themeName) return QIcon::fromTheme(entry->themeName, fallback);
  return fallback;
}

QIcon tintedSymbol(const QString& symbol, const QColor& color, int size) {
  QPixmap pixmap = symbolIcon(symbol).pixmap(size, size);
  if (pixmap.isNull()) return {};
  QPainter painter(&pixmap);
  painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
  painter.fillRect(pixmap.rect(), color);
  return QIcon(pixmap);
}

}  // namespace caskel::style
