#include "app/share_cipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <memory>

namespace caskel::share_cipher {

namespace {

constexpr std::string_view kMagic = "Salted__";
constexpr size_t kKeyBytes = 32;
constexpr size_t kIvBytes = 16;

// Key and IV derived together, wiped when dropped.
struct DerivedKey {
  std::array<unsigned char, kKeyBytes + kIvBytes> bytes{};
  ~DerivedKey() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
  const unsigned char* key() const { return bytes.data(); }
  const unsigned char* iv() const { return bytes.data() + kKeyBytes; }
};

bool derive(std::string_view passphrase, const unsigned char* salt, DerivedKey& out) {
  return PKCS5_PBKDF2_HMAC(passphrase.data(), static_cast<int>(passphrase.size()), salt,
                           static_cast<int>(kSaltBytes), kIterations, EVP_sha256(),
                           static_cast<int>(out.bytes.size()), out.bytes.data()) == 1;
}

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

}  // namespace

std::optional<std::string> encrypt(std::string_view plaintext, std::string_view passphrase) {
  if (plaintext.size() > static_cast<size_t>(INT32_MAX) - 64 || passphrase.size() > 4096) return std::nullopt;
  std::array<unsigned char, kSaltBytes> salt{};
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) return std::nullopt;
  DerivedKey derived;
  if (!derive(passphrase, salt.data(), derived)) return std::nullopt;

  CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, derived.key(), derived.iv()) != 1) {
    return std::nullopt;
  }
  std::string out;
  out.reserve(kMagic.size() + salt.size() + plaintext.size() + kIvBytes);
  out.append(kMagic);
  out.append(reinterpret_cast<const char*>(salt.data()), salt.size());
  size_t header = out.size();
  out.resize(header + plaintext.size() + kIvBytes);
  auto* dst = reinterpret_cast<unsigned char*>(out.data() + header);
  int produced = 0;
  int finalBytes = 0;
  if (EVP_EncryptUpdate(ctx.get(), dst, &produced, reinterpret_cast<const unsigned char*>(plaintext.data()),
                        static_cast<int>(plaintext.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), dst + produced, &finalBytes) != 1) {
    return std::nullopt;
  }
  out.resize(header + static_cast<size_t>(produced) + static_cast<size_t>(finalBytes));
  return out;
}

std::optional<SecretString> decrypt(std::string_view file, std::string_view passphrase) {
  size_t header = kMagic.size() + kSaltBytes;
  if (file.size() < header + kIvBytes || file.substr(0, kMagic.size()) != kMagic ||
      (file.size() - header) % kIvBytes != 0 || file.size() > static_cast<size_t>(INT32_MAX)) {
    return std::nullopt;
  }
  DerivedKey derived;
  if (!derive(passphrase, reinterpret_cast<const unsigned char*>(file.data() + kMagic.size()), derived)) {
    return std::nullopt;
  }
  CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, derived.key(), derived.iv()) != 1) {
    return std::nullopt;
  }
  std::string_view body = file.substr(header);
  std::string plain(body.size() + kIvBytes, '\0');
  auto* dst = reinterpret_cast<unsigned char*>(plain.data());
  int produced = 0;
  int finalBytes = 0;
  bool ok = EVP_DecryptUpdate(ctx.get(), dst, &produced, reinterpret_cast<const unsigned char*>(body.data()),
                              static_cast<int>(body.size())) == 1 &&
            EVP_DecryptFinal_ex(ctx.get(), dst + produced, &finalBytes) == 1;
  SecretString result(std::move(plain));  // wiped however it ends
  if (!ok) return std::nullopt;
  return SecretString(
      result.view().substr(0, static_cast<size_t>(produced) + static_cast<size_t>(finalBytes)));
}

std::optional<SecretString> randomPassphrase() {
  std::array<unsigned char, 32> bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) return std::nullopt;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex(bytes.size() * 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    hex[2 * i] = kHex[bytes[i] >> 4];
    hex[2 * i + 1] = kHex[bytes[i] & 0x0f];
  }
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return SecretString(std::move(hex));
}

}  // namespace caskel::share_cipher
