#include "store/keychain_error.h"

namespace caskel {

std::string KeychainError::errorDescription() const {
  switch (kind_) {
    case Kind::accessControlFailed:
      return "Failed to create access control — check system settings";
    case Kind::decodingFailed:
      return "Failed to decode secret value";
    case Kind::authenticationCanceled:
      return "Authentication canceled";
    case Kind::promptUnavailable:
      return kPromptUnavailablePrefix + reason_;
    case Kind::status:
      break;
  }
  switch (code_) {
    case status::kInteractionNotAllowed:
      return "Caskel can't access the vault right now";
    case status::kItemNotFound:
      return "Secret not found";
    case status::kDuplicateItem:
      return "This secret already exists";
    case status::kAuthFailed:
      return "Authentication failed — try again";
    case status::kUserCanceled:
      return "Canceled";
    default:
      return "Vault error (" + std::to_string(code_) + ")";
  }
}

}  // namespace caskel
