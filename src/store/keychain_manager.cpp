#include "store/keychain_manager.h"

#include <algorithm>

#include "base/utf8.h"

namespace caskel {

namespace {

KeychainStatus statusResult(int32_t code) {
  if (code == status::kSuccess) return std::nullopt;
  return KeychainError::fromStatus(code);
}

bool isStrict(const std::optional<std::string>& generic) {
  if (!generic) return false;
  std::optional<SecretMetadata> metadata = SecretMetadata::fromJson(*generic);
  return metadata && metadata->strict.value_or(false);
}

}  // namespace

KeychainManager::KeychainManager(std::string service, std::shared_ptr<CredentialStore> store)
    : service_(std::move(service)), store_(std::move(store)) {}

KeychainStatus KeychainManager::save(const std::string& account, std::string_view value,
                                     const std::optional<SecretMetadata>& metadata) const {
  if (!store_) return KeychainError::fromStatus(status::kIoError);
  SecretMetadata effective = metadata ? *metadata : readMetadata(account).value_or(SecretMetadata{});
  const bool strict = effective.strict.value_or(false);
  // A peek passed in may belong to an older value; a strict secret shows nothing without a prompt.
  effective.peek = strict ? std::nullopt : peekOf(value);
  // The store replaces value and metadata in one transaction, so a failed save keeps the old
  // item and two concurrent saves of one account both succeed (the later one wins).
  return statusResult(store_->put(service_, account, value, effective.toJson(), strict));
}

Result<SecretString> KeychainManager::readValue(const std::string& account, AuthContext* context,
                                                bool* strict) const {
  if (!store_) return KeychainError::fromStatus(status::kIoError);
  AuthContext fresh;
  AuthContext& ctx = context ? *context : fresh;
  SealedValue sealed;
  switch (int32_t code = store_->copyValue(service_, account, ctx, sealed)) {
    case status::kSuccess:
      if (!isValidUtf8(sealed.value.view())) return KeychainError::decodingFailed();
      if (strict) {
        *strict = sealed.strict.value_or(false);
        if (!*strict) {
          // Clear metadata may still make it strict (and is all that items sealed without the
          // flag have). Unreadable, it fails the read rather than pass a strict value as lax.
          CredentialItem item;
          int32_t s = store_->copyAttributes(service_, account, item);
          if (s != status::kSuccess && s != status::kItemNotFound) return KeychainError::fromStatus(s);
          *strict = s == status::kSuccess && isStrict(item.generic);
        }
      }
      return std::move(sealed.value);
    case status::kAuthFailed:
    case status::kUserCanceled:
      return KeychainError::authenticationCanceled();
    case status::kInteractionNotAllowed:
      // The prompt this read needed could not be shown: say why, rather than "can't access".
      if (ctx.lastOutcome() == AuthOutcome::unavailable && !ctx.interactionNotAllowed()) {
        return KeychainError::promptUnavailable(ctx.unavailableReason());
      }
      return KeychainError::fromStatus(code);
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

std::map<std::string, SecretString> KeychainManager::readAllValues(
    AuthContext& context, std::string_view prefix, std::set<std::string>* strictAccounts) const {
  std::map<std::string, SealedValue> sealed;
  if (!store_ || store_->copyAllValues(service_, prefix, context, sealed) != status::kSuccess) return {};
  std::erase_if(sealed, [](const auto& entry) { return !isValidUtf8(entry.second.value.view()); });
  if (strictAccounts) {
    std::set<std::string> strict;
    for (const auto& [account, item] : sealed) {
      if (item.strict.value_or(false)) strict.insert(account);
    }
    if (strict.size() < sealed.size()) {
      // The others may still be strict by their clear metadata. Unreadable, it fails the read
      // rather than let strict values be taken for lax ones.
      std::vector<CredentialItem> items;
      int32_t s = store_->copyAllAttributes(service_, items);
      if (s != status::kSuccess && s != status::kItemNotFound) return {};
      for (const CredentialItem& item : items) {
        if (sealed.count(item.account) && isStrict(item.generic)) strict.insert(item.account);
      }
    }
    strictAccounts->merge(strict);
  }
  std::map<std::string, SecretString> values;
  for (auto& [account, item] : sealed) values.emplace(account, std::move(item.value));
  return values;
}

std::vector<SecretInfo> KeychainManager::listSecrets(AuthContext*, bool) const {
  // Listing reads only clear attributes: it never prompts, interactive or not.
  Result<std::vector<SecretInfo>> listed = tryListSecrets();
  return listed ? std::move(listed.value()) : std::vector<SecretInfo>{};
}

Result<std::vector<SecretInfo>> KeychainManager::tryListSecrets() const {
  std::vector<CredentialItem> items;
  if (!store_) return KeychainError::fromStatus(status::kIoError);
  if (int32_t s = store_->copyAllAttributes(service_, items); s != status::kSuccess) {
    if (s == status::kItemNotFound) return std::vector<SecretInfo>{};
    return KeychainError::fromStatus(s);
  }
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
  bool strict = false;
  Result<SecretString> value = readValue(account, context ? context : &fresh, &strict);
  if (!value) return value.error();
  SecretMetadata effective = metadata;
  // Metadata built from the clear copy may have lost the flag to an edit of the file.
  if (!effective.strict && strict) effective.strict = true;
  return save(account, value.value().view(), effective);
}

KeychainStatus KeychainManager::deleteItem(const std::string& account) const {
  if (!store_) return KeychainError::fromStatus(status::kIoError);
  int32_t code = store_->remove(service_, account);
  return code == status::kItemNotFound ? std::nullopt : statusResult(code);
}

std::pair<int, int> KeychainManager::migrateAccessControl(AuthContext& context) const {
  std::set<std::string> strict;
  std::map<std::string, SecretString> values = readAllValues(context, {}, &strict);
  int found = static_cast<int>(values.size());
  int migrated = 0;
  for (const auto& [account, value] : values) {
    std::optional<SecretMetadata> metadata = readMetadata(account, &context);
    if (strict.count(account)) {
      if (!metadata) metadata = SecretMetadata{};
      metadata->strict = true;
    }
    if (!save(account, value.view(), metadata)) ++migrated;
  }
  return {migrated, found};
}

}  // namespace caskel
