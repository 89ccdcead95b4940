#include "server/agent_handoff.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

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

bool isAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

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

size_t quotedSize(std::string_view value) {
  size_t size = value.size() + 2;
  for (char c : value) {
    if (c == '\'') size += kEscapedQuote.size() - 1;
  }
  return size;
}

// A buffer that holds a secret and is wiped however the function leaves.
struct WipedBytes {
  explicit WipedBytes(size_t n) : bytes(n) {}
  ~WipedBytes() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
  std::vector<unsigned char> bytes;
};

struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

}  // namespace

std::string envVarName(std::string_view account) {
  std::string_view last = account;
  size_t end = account.find_last_not_of('/');
  if (end != std::string_view::npos) {
    size_t slash = account.rfind('/', end);
    size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    last = account.substr(start, end - start + 1);
  }
  std::string name;
  name.reserve(last.size() + 1);
  for (char c : last) name.push_back(isAsciiLetter(c) || isAsciiDigit(c) ? c : '_');
  if (!name.empty() && !isAsciiLetter(name[0]) && name[0] != '_') name.insert(name.begin(), '_');
  return name;
}

std::string shellSingleQuote(std::string_view value) {
  std::string out;
  out.reserve(quotedSize(value));
  out.push_back('\'');
  for (char c : value) {
    if (c == '\'') {
      out.append(kEscapedQuote);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('\'');
  return out;
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

  std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> ctx(EVP_CIPHER_CTX_new());
  std::vector<unsigned char> cipher(plainSize + kBlockBytes);
  int produced = 0;
  int last = 0;
  // AES-256-CBC; EVP pads with PKCS#7 by default.
  if (!ctx ||
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.bytes.data(), iv.bytes.data()) != 1 ||
      EVP_EncryptUpdate(ctx.get(), cipher.data(), &produced, plain.bytes.data(),
                        static_cast<int>(plainSize)) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), cipher.data() + produced, &last) != 1) {
    return std::nullopt;
  }
  const size_t cipherSize = static_cast<size_t>(produced) + static_cast<size_t>(last);

  // Standard base64 with padding and no line breaks.
  std::string encoded(4 * ((cipherSize + 2) / 3) + 1, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), cipher.data(),
                                static_cast<int>(cipherSize));
  if (written < 0) return std::nullopt;
  encoded.resize(static_cast<size_t>(written));
  payload.ciphertext = std::move(encoded);
  return payload;
}

WrappedValue agentWrap(std::string_view account, std::string_view value, bool isAgent) {
  if (!isAgent) return WrappedValue{std::string(value), nullptr};
  if (auto payload = encryptForAgent(account, value)) {
    return WrappedValue{"__encrypted__", nlohmann::json{{"agent", true},
                                                        {"encrypted", true},
                                                        {"ct", payload->ciphertext},
                                                        {"k", payload->key},
                                                        {"iv", payload->iv},
                                                        {"kn", payload->name}}};
  }
  return WrappedValue{"__error__",
                      nlohmann::json{{"agent", true}, {"error", "Server-side encryption failed"}}};
}

}  // namespace caskel
