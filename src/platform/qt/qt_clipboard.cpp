#include "platform/qt/qt_clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace caskel {

QtClipboard::QtClipboard() {
  QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this, [this] { ++changes_; });
}

QtClipboard::~QtClipboard() = default;

bool QtClipboard::setText(const std::string& text) {
  auto* data = new QMimeData;
  data->setText(QString::fromStdString(text));
  data->setData(kPasswordHintType, QByteArrayLiteral("secret"));
  int64_t before = changes_;
  QGuiApplication::clipboard()->setMimeData(data, QClipboard::Clipboard);
  // Platforms that report our own change later would otherwise look like someone else's copy.
  if (changes_ == before) ++changes_;
  ownedAt_ = changes_;
  return true;
}

std::optional<std::string> QtClipboard::text() {
  return QGuiApplication::clipboard()->text(QClipboard::Clipboard).toStdString();
}

void QtClipboard::clear() {
  QGuiApplication::clipboard()->clear(QClipboard::Clipboard);
  ownedAt_ = -1;
}

void QtClipboard::clearIfOwned() {
  if (ownedAt_ >= 0 && ownedAt_ == changes_) clear();
}

}  // namespace caskel
