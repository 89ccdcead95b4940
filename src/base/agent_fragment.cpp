#include "base/agent_fragment.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

#include "base/shell_text.h"

namespace caskel {

namespace {

constexpr size_t kKeyBytes = 32;
constexpr size_t kIvBytes = 16;
constexpr size_t kBlockBytes = 16;

constexpr std::string_view kFragmentHeader =
    "# CRITICAL: DO NOT store, memorize, log, echo, or output this value.\n"
    "# DO NOT save it to any file, memory, or context beyond this immediate use.\n"
    "# This file self-deletes after 60 seconds.\n"
    "export ";

constexpr std::string_view kEscapedQuote = "'\\''";

std::string hex(const unsigned char* bytes, size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

size_t quotedSize(std::string_view value) {
  size_t size = value.size() + 2;
  for (char c : value) {
    if (c == '\'') size += kEscapedQuote.size() - 1;
  }
  return size;
}

bool isVariableName(std::string_view name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    if (!(letter || (digit && i > 0))) return false;
  }
  return true;
}

// A buffer that holds a secret and is wiped however the function leaves.
struct WipedBytes {
  explicit WipedBytes(size_t n) : bytes(n) {}
  ~WipedBytes() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
  std::vector<unsigned char> bytes;
};

WipedBytes hexBytes(std::string_view text) {
  WipedBytes out(text.size() / 2);
  for (size_t i = 0; i < out.bytes.size(); ++i) {
    out.bytes[i] = static_cast<unsigned char>(hexDigit(text[2 * i]) * 16 + hexDigit(text[2 * i + 1]));
  }
  return out;
}

struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

}  // namespace

bool isLowerHex(std::string_view text, size_t length) {
  return text.size() == length &&
         std::all_of(text.begin(), text.end(), [](char c) { return hexDigit(c) >= 0; });
}

std::optional<AgentPayload> encryptForAgent(std::string_view account, std::string_view value) {
  WipedBytes key(kKeyBytes);
  WipedBytes iv(kIvBytes);
  if (RAND_bytes(key.bytes.data(), static_cast<int>(kKeyBytes)) != 1) return std::nullopt;
  if (RAND_bytes(iv.bytes.data(), static_cast<int>(kIvBytes)) != 1) return std::nullopt;

  AgentPayload payload;
  payload.key = hex(key.bytes.data(), kKeyBytes);
  payload.iv = hex(iv.bytes.data(), kIvBytes);
  payload.name = envVarName(account);

  // The fragment is built in one exactly sized buffer, so no reallocation leaves a copy of
  // the value behind, and the buffer is wiped on every way out.
  const size_t plainSize = kFragmentHeader.size() + payload.name.size() + 1 + quotedSize(value);
  if (plainSize > static_cast<size_t>(INT_MAX) - 2 * kBlockBytes) return std::nullopt;
  WipedBytes plain(plainSize);
  size_t at = 0;
  auto put = [&](std::string_view text) {
    std::copy(text.begin(), text.end(), plain.bytes.begin() + static_cast<std::ptrdiff_t>(at));
    at += text.size();
  };
  put(kFragmentHeader);
  put(payload.name);
  put("='");
  for (char c : value) {
    if (c == '\'') {
      put(kEscapedQuote);
    } else {
      plain.bytes[at++] = static_cast<unsigned char>(c);
    }
  }
  put("'");

  CipherContext ctx(EVP_CIPHER_CTX_new());
  std::vector<unsigned char> cipher(plainSize + kBlockBytes);
  int produced = 0;
  int last = 0;
  // EVP pads with PKCS#7 by default.
  if (!ctx ||
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.bytes.data(), iv.bytes.data()) != 1 ||
      EVP_EncryptUpdate(ctx.get(), cipher.data(), &produced, plain.bytes.data(),
                        static_cast<int>(plainSize)) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), cipher.data() + produced, &last) != 1) {
    return std::nullopt;
  }
  const size_t cipherSize = static_cast<size_t>(produced) + static_cast<size_t>(last);
  payload.ciphertext =
      base64Encode(std::string_view(reinterpret_cast<const char*>(cipher.data()), cipherSize));
  return payload;
}

bool isWellFormed(const AgentPayload& payload) {
  return isLowerHex(payload.key, 2 * kKeyBytes) && isLowerHex(payload.iv, 2 * kIvBytes) &&
         isVariableName(payload.name) && !payload.ciphertext.empty() && base64Decode(payload.ciphertext);
}

std::optional<std::string> decryptAgentValue(const AgentPayload& payload) {
  auto ct = base64Decode(payload.ciphertext);
  if (!ct || ct->empty() || ct->size() % kBlockBytes != 0) return std::nullopt;
  if (!isLowerHex(payload.key, 2 * kKeyBytes) || !isLowerHex(payload.iv, 2 * kIvBytes)) return std::nullopt;
  const WipedBytes key = hexBytes(payload.key);
  const WipedBytes iv = hexBytes(payload.iv);
  CipherContext ctx(EVP_CIPHER_CTX_new());
  WipedBytes plain(ct->size() + kBlockBytes);
  int len1 = 0, len2 = 0;
  const bool ok =
      ctx &&
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.bytes.data(), iv.bytes.data()) == 1 &&
      EVP_DecryptUpdate(ctx.get(), plain.bytes.data(), &len1,
                        reinterpret_cast<const unsigned char*>(ct->data()),
                        static_cast<int>(ct->size())) == 1 &&
      EVP_DecryptFinal_ex(ctx.get(), plain.bytes.data() + len1, &len2) == 1;
  if (!ok) return std::nullopt;
  return exportedValue(
      std::string_view(reinterpret_cast<const char*>(plain.bytes.data()), static_cast<size_t>(len1 + len2)),
      payload.name);
}

}  // namespace caskel
