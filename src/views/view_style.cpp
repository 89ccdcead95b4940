#include "views/view_style.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QScrollArea>
#include <QVBoxLayout>

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

void setTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, color);
  palette.setColor(QPalette::ButtonText, color);
  widget->setPalette(palette);
}

QLabel* plainLabel(const QString& text, QWidget* parent, const QFont& font) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setText(text);
  label->setFont(font);
  return label;
}

QLabel* plainLabel(const QString& text, QWidget* parent, const QFont& font, const QColor& color) {
  auto* label = plainLabel(text, parent, font);
  setTextColor(label, color);
  return label;
}

QFrame* divider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Plain);
  line->setForegroundRole(QPalette::Mid);
  return line;
}

ScrollingPage scrollingPage(QWidget* owner, QMargins margins, int spacing) {
  auto* outer = new QVBoxLayout(owner);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);
  auto* scroll = new QScrollArea(owner);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* content = new QWidget(scroll);
  auto* column = new QVBoxLayout(content);
  column->setContentsMargins(margins);
  column->setSpacing(spacing);
  scroll->setWidget(content);
  outer->addWidget(scroll, 1);
  return {outer, content, column};
}

}  // namespace caskel::style
