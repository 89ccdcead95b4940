#pragma once

#include <QString>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/secret_string.h"
#include "store/secret_metadata.h"
#include "views/form_metadata.h"

namespace caskel {

// The kinds of credential the add form writes, in the picker's order.
enum class CredentialMode { secret, apiKey, login, recoveryCodes };
inline constexpr std::array<CredentialMode, 4> kCredentialModes{
    CredentialMode::secret, CredentialMode::apiKey, CredentialMode::login, CredentialMode::recoveryCodes};

// "Secret", "API Key", "Login", "Recovery Codes": the mode's name and its picker label.
QString credentialModeLabel(CredentialMode mode);

// Everything the add form holds; only the current mode's value fields count.
struct AddFormInput {
  QString account;
  CredentialMode mode = CredentialMode::secret;
  QString value;
  QString apiKeyPrimary;
  QString apiKeySecondary;
  QString username;
  QString password;
  QString recoveryCodes;
  MetadataTexts metadata;
  bool strict = false;
};

// A key path needs a folder: non-empty without "/" is refused (empty is merely unfinished).
bool accountLacksFolder(const QString& account);

// The line under the account field; `warning` draws it in red.
struct AccountHint {
  QString text;
  bool warning = false;
};
AccountHint accountHint(const QString& account);

bool isAddFormValid(const AddFormInput& input);

// The codes of a recovery-code text: one a line, spaces and tabs trimmed, blank lines dropped.
std::vector<std::string> recoveryCodeLines(const QString& text);

// What the add form hands the store.
struct StoredSecret {
  SecretString value;
  std::optional<SecretMetadata> metadata;  // none for a bare secret with nothing set
};
StoredSecret storedSecretOf(const AddFormInput& input);

}  // namespace caskel
