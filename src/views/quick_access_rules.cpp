#include "views/quick_access_rules.h"

#include <algorithm>

#include "store/structured_value.h"

namespace caskel {

namespace {

constexpr int kBelowPointer = 20;

// Decoded parts are plain strings; each is zeroed once its text is copied out or unused.
void wipe(std::string& text) {
  if (text.capacity() > 0) sodium_memzero(text.data(), text.capacity());
  text.clear();
}

SecretString takeOut(std::string& text) {
  SecretString copy(std::string_view{text});
  wipe(text);
  return copy;
}

}  // namespace

QPoint quickAccessPosition(QSize panel, QPoint pointer, QRect available) {
  int x = pointer.x() - panel.width() / 2;
  int y = pointer.y() + kBelowPointer;
  // max after min: the minimum edges win when the panel does not fit.
  x = std::max(available.left(), std::min(x, available.right() + 1 - panel.width()));
  y = std::max(available.top(), std::min(y, available.bottom() + 1 - panel.height()));
  return {x, y};
}

std::string quickAccessUnlockReason(size_t count) {
  return "Unlock " + std::to_string(count) + " credential" + (count == 1 ? "" : "s") + " for quick access";
}

std::vector<SecretInfo> quickAccessMatches(const std::vector<SecretInfo>& accounts, const QString& search) {
  if (search.isEmpty()) return accounts;
  std::vector<SecretInfo> matches;
  for (const SecretInfo& info : accounts) {
    if (QString::fromStdString(info.account).contains(search, Qt::CaseInsensitive)) matches.push_back(info);
  }
  return matches;
}

SecretString quickAccessCopyText(const std::optional<std::string>& type, std::string_view value) {
  if (type == "login") {
    if (std::optional<LoginValue> login = decodeLogin(value)) {
      wipe(login->username);
      return takeOut(login->password);
    }
  } else if (type == "api_key") {
    if (std::optional<ApiKeyValue> key = decodeApiKey(value)) {
      if (key->secondary) wipe(*key->secondary);
      return takeOut(key->key);
    }
  } else if (type == "recovery_code") {
    if (std::optional<std::vector<std::string>> codes = decodeRecoveryCodes(value)) {
      // Sized up front, so that no reallocation leaves an unwiped copy of a code behind.
      size_t length = 0;
      for (const std::string& code : *codes) length += code.size() + 1;
      std::string text;
      text.reserve(length);
      for (size_t i = 0; i < codes->size(); ++i) {
        if (i > 0) text += '\n';
        text += (*codes)[i];
        wipe((*codes)[i]);
      }
      return SecretString(std::move(text));
    }
  }
  return SecretString(value);
}

}  // namespace caskel
