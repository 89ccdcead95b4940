#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QMargins>
#include <QPalette>
#include <QString>

class QFrame;
class QLabel;
class QVBoxLayout;
class QWidget;

namespace caskel::style {

// Named colours: one fixed value each that reads on light and dark palettes.
inline const QColor blue{0x0A, 0x84, 0xFF};
inline const QColor green{0x30, 0xD1, 0x58};
inline const QColor orange{0xFF, 0x9F, 0x0A};
inline const QColor red{0xFF, 0x45, 0x3A};
inline const QColor purple{0xBF, 0x5A, 0xF2};
inline const QColor cyan{0x64, 0xD2, 0xFF};
inline const QColor indigo{0x5E, 0x5C, 0xE6};
inline const QColor mint{0x63, 0xE6, 0xE2};
inline const QColor teal{0x40, 0xC8, 0xE0};
inline const QColor gray{0x98, 0x98, 0x9D};
inline const QColor accent{254, 121, 93};  // onboarding and "Copy AI Instructions"

QColor primary(const QPalette& palette);
QColor secondary(const QPalette& palette);
QColor tertiary(const QPalette& palette);
QColor withOpacity(QColor color, double opacity);

// Sizes given in points keep their ratio to a 13-point body.
QFont body();
QFont caption();     // 85 % of the body
QFont headline();    // bold body
QFont monospaced();  // the system's fixed font at the body size
QFont sized(QFont font, double pointsAt13, bool bold = false);
QFont scaled(const QFont& font, double pointsAt13);

// The icon for a symbol name of the screens ("key", "doc.on.doc", ...): the desktop theme's
// icon when it has one, else our own SVG.
QIcon symbolIcon(const QString& symbol);
// The same, drawn in one colour (status icons whose colour carries meaning).
QIcon tintedSymbol(const QString& symbol, const QColor& color, int size = 16);

// Text colour for labels and buttons alike.
void setTextColor(QWidget* widget, const QColor& color);
// A label that never reads its text as markup: names and keys come from the vault.
QLabel* plainLabel(const QString& text, QWidget* parent, const QFont& font = body());
QLabel* plainLabel(const QString& text, QWidget* parent, const QFont& font, const QColor& color);
// The thin rule between a screen's sections.
QFrame* divider(QWidget* parent);

// A screen whose body scrolls vertically above what is added to `outer` after it (a footer).
struct ScrollingPage {
  QVBoxLayout* outer;
  QWidget* content;
  QVBoxLayout* column;
};
ScrollingPage scrollingPage(QWidget* owner, QMargins margins, int spacing);

}  // namespace caskel::style
