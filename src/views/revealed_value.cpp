#include "views/revealed_value.h"

#include "store/structured_value.h"

namespace caskel {

std::vector<RevealedRow> revealedRows(const std::optional<std::string>& type, std::string_view value) {
  std::vector<RevealedRow> rows;
  if (type == "api_key") {
    if (std::optional<ApiKeyValue> key = decodeApiKey(value)) {
      rows.push_back({QStringLiteral("Key"), SecretString(std::move(key->key))});
      if (key->secondary)
        rows.push_back({QStringLiteral("Secondary"), SecretString(std::move(*key->secondary))});
      return rows;
    }
  } else if (type == "login") {
    if (std::optional<LoginValue> login = decodeLogin(value)) {
      rows.push_back({QStringLiteral("Username"), SecretString(std::move(login->username))});
      rows.push_back({QStringLiteral("Password"), SecretString(std::move(login->password))});
      return rows;
    }
  } else if (type == "recovery_code") {
    if (std::optional<std::vector<std::string>> codes = decodeRecoveryCodes(value)) {
      // Reserved up front and appended piece by piece, so no unwiped copy of a code is left
      // behind by a reallocation or a temporary.
      size_t length = 0;
      for (const std::string& code : *codes) length += code.size() + 24;
      std::string text;
      text.reserve(length);
      for (size_t i = 0; i < codes->size(); ++i) {
        if (i > 0) text += '\n';
        text += std::to_string(i + 1);
        text += ". ";
        text += (*codes)[i];
        SecretString(std::move((*codes)[i])).wipe();
      }
      rows.push_back({QString(), SecretString(std::move(text))});
      return rows;
    }
  }
  rows.push_back({QString(), SecretString(value)});
  return rows;
}

}  // namespace caskel
