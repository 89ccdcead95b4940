#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/secret_string.h"

namespace caskel {

// The file format of `openssl enc -aes-256-cbc -pbkdf2` (binary, no Base64): "Salted__", an
// 8-byte random salt, then AES-256-CBC with PKCS#7 padding under the key and IV taken from
// PBKDF2-HMAC-SHA256 (10,000 iterations, 48 bytes: key then IV) of the passphrase and salt.
// A file written here decrypts with
//   openssl enc -d -aes-256-cbc -pbkdf2 -in FILE -pass env:VAR
namespace share_cipher {

inline constexpr int kIterations = 10000;
inline constexpr size_t kSaltBytes = 8;

// The whole file content; nothing when the random source or the cipher fails.
std::optional<std::string> encrypt(std::string_view plaintext, std::string_view passphrase);
// The plaintext of such a file; nothing when it is malformed or the passphrase is wrong.
std::optional<SecretString> decrypt(std::string_view file, std::string_view passphrase);
// 32 bytes from the secure random source as 64 lower-case hexadecimal digits.
std::optional<SecretString> randomPassphrase();

}  // namespace share_cipher
}  // namespace caskel
