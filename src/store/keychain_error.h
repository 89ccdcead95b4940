#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "base/status_code.h"

namespace caskel {

// The store's error kind with its fixed user-facing texts.
class KeychainError {
 public:
  enum class Kind { status, accessControlFailed, decodingFailed, authenticationCanceled, promptUnavailable };

  // The text of every failure for want of a passphrase prompt: no answer, which is not a no.
  static constexpr const char* kPromptUnavailablePrefix = "Passphrase prompt unavailable: ";

  static KeychainError fromStatus(int32_t code) { return KeychainError(Kind::status, code); }
  static KeychainError accessControlFailed() { return KeychainError(Kind::accessControlFailed, 0); }
  static KeychainError decodingFailed() { return KeychainError(Kind::decodingFailed, 0); }
  static KeychainError authenticationCanceled() { return KeychainError(Kind::authenticationCanceled, 0); }
  // `reason` says why no prompt could be shown ("no pinentry program found").
  static KeychainError promptUnavailable(std::string reason) {
    KeychainError e(Kind::promptUnavailable, status::kInteractionNotAllowed);
    e.reason_ = std::move(reason);
    return e;
  }

  Kind kind() const { return kind_; }
  int32_t code() const { return code_; }
  std::string errorDescription() const;
  bool operator==(const KeychainError&) const = default;

 private:
  KeychainError(Kind kind, int32_t code) : kind_(kind), code_(code) {}
  Kind kind_;
  int32_t code_;
  std::string reason_;
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
