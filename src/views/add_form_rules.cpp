#include "views/add_form_rules.h"

#include <QStringList>
#include <algorithm>

#include "store/structured_value.h"
#include "views/date_validity.h"

namespace caskel {

namespace {

constexpr size_t kPeekLength = 8;

// The form's secret texts pass through std::string on their way into the value: moving them
// into a SecretString wipes the buffer when it goes.
void wipe(std::string& text) {
  SecretString(std::move(text)).wipe();
}

std::string trimSpacesAndTabs(std::string line) {
  const auto first = line.find_first_not_of(" \t");
  if (first == std::string::npos) {
    wipe(line);
    return {};
  }
  const auto last = line.find_last_not_of(" \t");
  std::string trimmed = line.substr(first, last - first + 1);
  wipe(line);
  return trimmed;
}

}  // namespace

QString credentialModeLabel(CredentialMode mode) {
  switch (mode) {
    case CredentialMode::secret:
      return QStringLiteral("Secret");
    case CredentialMode::apiKey:
      return QStringLiteral("API Key");
    case CredentialMode::login:
      return QStringLiteral("Login");
    case CredentialMode::recoveryCodes:
      return QStringLiteral("Recovery Codes");
  }
  return {};
}

bool accountLacksFolder(const QString& account) {
  return !account.isEmpty() && !account.contains(u'/');
}

AccountHint accountHint(const QString& account) {
  if (accountLacksFolder(account))
    return {QStringLiteral("Must contain at least one / (e.g. org/project/KEY)"), true};
  return {QStringLiteral("Use shared/ prefix for secrets used across multiple projects"), false};
}

bool isAddFormValid(const AddFormInput& input) {
  if (input.account.isEmpty() || !input.account.contains(u'/')) return false;
  if (!isAcceptableExpiry(input.metadata.expires)) return false;
  switch (input.mode) {
    case CredentialMode::secret:
      return !input.value.isEmpty();
    case CredentialMode::apiKey:
      return !input.apiKeyPrimary.isEmpty();
    case CredentialMode::login:
      return !input.username.isEmpty() && !input.password.isEmpty();
    case CredentialMode::recoveryCodes:
      // Looked at in place: trimmed() would leave another copy of the codes in freed memory.
      return std::any_of(input.recoveryCodes.begin(), input.recoveryCodes.end(),
                         [](QChar c) { return !c.isSpace(); });
  }
  return false;
}

std::vector<std::string> recoveryCodeLines(const QString& text) {
  std::vector<std::string> codes;
  QStringList lines = text.split(u'\n');
  for (QString& line : lines) {
    std::string code = trimSpacesAndTabs(line.toStdString());
    if (!code.empty()) codes.push_back(std::move(code));
    line.fill(QChar(0));
  }
  return codes;
}

StoredSecret storedSecretOf(const AddFormInput& input) {
  StoredSecret stored;
  std::optional<std::string> type = fieldOf(input.metadata.type);
  std::optional<std::string> peek;
  switch (input.mode) {
    case CredentialMode::secret:
      stored.value = SecretString(input.value.toStdString());
      break;
    case CredentialMode::apiKey: {
      ApiKeyValue key{input.apiKeyPrimary.toStdString(), std::nullopt};
      if (!input.apiKeySecondary.isEmpty()) key.secondary = input.apiKeySecondary.toStdString();
      stored.value = SecretString(encodeApiKey(key));
      peek = firstCharacters(key.key, kPeekLength);
      wipe(key.key);
      if (key.secondary) wipe(*key.secondary);
      type = "api_key";
      break;
    }
    case CredentialMode::login: {
      LoginValue login{input.username.toStdString(), input.password.toStdString()};
      stored.value = SecretString(encodeLogin(login));
      peek = firstCharacters(login.username, kPeekLength);
      wipe(login.username);
      wipe(login.password);
      // A Type typed before switching to Login does not survive: the layout decides the type.
      type = "login";
      break;
    }
    case CredentialMode::recoveryCodes: {
      std::vector<std::string> codes = recoveryCodeLines(input.recoveryCodes);
      stored.value = SecretString(encodeRecoveryCodes(codes));
      if (!codes.empty()) peek = firstCharacters(codes.front(), kPeekLength);
      for (std::string& code : codes) wipe(code);
      type = "recovery_code";
      break;
    }
  }
  SecretMetadata metadata = formMetadata(input.metadata, input.strict);
  metadata.type = type;
  metadata.peek = peek;
  if (metadata != SecretMetadata{}) stored.metadata = metadata;
  return stored;
}

}  // namespace caskel
