#include "store/keychain_manager.h"

#include <algorithm>

namespace caskel {

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    size_t extra;
    unsigned char low = 0x80, high = 0xBF;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      auto b = static_cast<unsigned char>(text[i + k]);
      if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) return false;
    }
    i += extra + 1;
  }
  return true;
}

KeychainStatus statusResult(int32_t code) {
  if (code == status::kSuccess) return std::nullopt;
  return KeychainError::fromStatus(code);
}

}  // namespace

KeychainManager::KeychainManager(std::string service, std::shared_ptr<CredentialStore> store)
    : service_(std::move(service)), store_(std::move(store)) {}

KeychainStatus KeychainManager::save(const std::string& account, std::string_view value,
                                     const std::optional<SecretMetadata>& metadata) const {
  if (!store_) return KeychainError::fromStatus(status::kIoError);
  SecretMetadata effective;
  if (metadata) {
    effective = *metadata;
    if (!effective.peek) effective.peek = peekOf(value);
  } else {
    effective = readMetadata(account).value_or(SecretMetadata{});
    effective.peek = peekOf(value);
  }
  // The store replaces value and metadata in one transaction, so a failed save keeps the old
  // item and two concurrent saves of one account both succeed (the later one wins).
  return statusResult(store_->put(service_, account, value, effective.toJson()));
}

Result<SecretString> KeychainManager::readValue(const std::string& account, AuthContext* context) const {
  if (!store_) return KeychainError::fromStatus(status::kIoError);
  AuthContext fresh;
  AuthContext& ctx = context ? *context : fresh;
  SecretString value;
  switch (int32_t code = store_->copyValue(service_, account, ctx, value)) {
    case status::kSuccess:
      if (!isValidUtf8(value.view())) return KeychainError::decodingFailed();
      return value;
    case status::kAuthFailed:
    case status::kUserCanceled:
      return KeychainError::authenticationCanceled();
    case status::kDecode:
      return KeychainError::decodingFailed();
    case status::kKeyMaterialUnusable:
      return KeychainError::accessControlFailed();
    default:
      return KeychainError::fromStatus(code);
  }
}

std::optional<SecretMetadata> KeychainManager::readMetadata(const std::string& account, AuthContext*) const {
  // Metadata is stored in clear, so this never needs (or uses) an authentication.
  if (!store_) return std::nullopt;
  CredentialItem item;
  if (store_->copyAttributes(service_, account, item) != status::kSuccess || !item.generic)
    return std::nullopt;
  return SecretMetadata::fromJson(*item.generic);
}

std::map<std::string, SecretString> KeychainManager::readAllValues(AuthContext& context,
                                                                   std::string_view prefix) const {
  std::map<std::string, SecretString> values;
  if (!store_ || store_->copyAllValues(service_, prefix, context, values) != status::kSuccess) return {};
  std::erase_if(values, [](const auto& entry) { return !isValidUtf8(entry.second.view()); });
  return values;
}

std::vector<SecretInfo> KeychainManager::listSecrets(AuthContext*, bool) const {
  // Listing reads only clear attributes: it never prompts, interactive or not.
  std::vector<CredentialItem> items;
  if (!store_ || store_->copyAllAttributes(service_, items) != status::kSuccess) return {};
  std::vector<SecretInfo> infos;
  infos.reserve(items.size());
  for (CredentialItem& item : items) {
    std::optional<SecretMetadata> metadata;
    if (item.generic) metadata = SecretMetadata::fromJson(*item.generic);
    infos.push_back(SecretInfo{std::move(item.account), std::move(metadata)});
  }
  // std::string compares as unsigned bytes.
  std::sort(infos.begin(), infos.end(),
            [](const SecretInfo& a, const SecretInfo& b) { return a.account < b.account; });
  return infos;
}

KeychainStatus KeychainManager::updateMetadata(const std::string& account, const SecretMetadata& metadata,
                                               AuthContext* context) const {
  AuthContext fresh;
  Result<SecretString> value = readValue(account, context ? context : &fresh);
  if (!value) return value.error();
  SecretMetadata effective = metadata;
  if (!effective.peek) effective.peek = peekOf(value.value().view());
  return save(account, value.value().view(), effective);
}

KeychainStatus KeychainManager::deleteItem(const std::string& account) const {
  if (!store_) return KeychainError::fromStatus(status::kIoError);
  int32_t code = store_->remove(service_, account);
  return code == status::kItemNotFound ? std::nullopt : statusResult(code);
}

std::pair<int, int> KeychainManager::migrateAccessControl(AuthContext& context) const {
  std::map<std::string, SecretString> values = readAllValues(context);
  int found = static_cast<int>(values.size());
  int migrated = 0;
  for (const auto& [account, value] : values) {
    if (!save(account, value.view(), readMetadata(account, &context))) ++migrated;
  }
  return {migrated, found};
}

}  // namespace caskel
