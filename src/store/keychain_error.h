#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace caskel {

// Status numbers of the store, shared by the whole system as its error vocabulary.
namespace status {
inline constexpr int32_t kSuccess = 0;
inline constexpr int32_t kUserCanceled = -128;
inline constexpr int32_t kAuthFailed = -25293;        // three wrong passphrases
inline constexpr int32_t kDuplicateItem = -25299;
inline constexpr int32_t kItemNotFound = -25300;
inline constexpr int32_t kInteractionNotAllowed = -25308;  // a read would need a prompt
inline constexpr int32_t kDecode = -26275;            // sealed value does not open / wrong row
inline constexpr int32_t kKeyMaterialUnusable = -67585;  // vault key pair missing or damaged
inline constexpr int32_t kIoError = -36;              // database could not be read or written
}  // namespace status

// The store's error kind with its fixed user-facing texts.
class KeychainError {
 public:
  enum class Kind { status, accessControlFailed, decodingFailed, authenticationCanceled };

  static KeychainError fromStatus(int32_t code) { return KeychainError(Kind::status, code); }
  static KeychainError accessControlFailed() { return KeychainError(Kind::accessControlFailed, 0); }
  static KeychainError decodingFailed() { return KeychainError(Kind::decodingFailed, 0); }
  static KeychainError authenticationCanceled() { return KeychainError(Kind::authenticationCanceled, 0); }

  Kind kind() const { return kind_; }
  int32_t code() const { return code_; }
  std::string errorDescription() const;
  bool operator==(const KeychainError&) const = default;

 private:
  KeychainError(Kind kind, int32_t code) : kind_(kind), code_(code) {}
  Kind kind_;
  int32_t code_;
};

// A value or an error; the store's fallible operations return one of these.
template <class T, class E = KeychainError>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Result(E error) : v_(std::move(error)) {}  // NOLINT(google-explicit-constructor)
  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  const E& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

// Success, or the error that prevented it.
using KeychainStatus = std::optional<KeychainError>;

}  // namespace caskel
