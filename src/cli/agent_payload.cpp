#include "cli/agent_payload.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <memory>
#include <vector>

#include "cli/shell_text.h"

namespace caskel::cli {

namespace {

std::optional<std::string> jsonText(const nlohmann::json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<unsigned char> hexBytes(std::string_view hex) {
  std::vector<unsigned char> out(hex.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<unsigned char>(hexDigit(hex[2 * i]) * 16 + hexDigit(hex[2 * i + 1]));
  }
  return out;
}

bool isVariableName(std::string_view name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    bool digit = c >= '0' && c <= '9';
    if (!(letter || (digit && i > 0))) return false;
  }
  return true;
}

}  // namespace

bool isLowerHex(std::string_view text, size_t length) {
  if (text.size() != length) return false;
  for (char c : text) {
    if (hexDigit(c) < 0) return false;
  }
  return true;
}

std::optional<AgentPayload> AgentPayload::fromReply(const nlohmann::json& reply) {
  AgentPayload p;
  auto ct = jsonText(reply, "ct");
  auto k = jsonText(reply, "k");
  auto iv = jsonText(reply, "iv");
  auto kn = jsonText(reply, "kn");
  if (!ct || !k || !iv || !kn) return std::nullopt;
  // These pieces are written into a shell script: accept only their documented alphabets.
  if (!isLowerHex(*k, 64) || !isLowerHex(*iv, 32) || !isVariableName(*kn)) return std::nullopt;
  if (ct->empty() || !base64Decode(*ct)) return std::nullopt;
  p.ciphertext = std::move(*ct);
  p.key = std::move(*k);
  p.iv = std::move(*iv);
  p.name = std::move(*kn);
  return p;
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
              c == '/' || (c == '=' && i + 2 >= text.size());
    if (!ok) return std::nullopt;
  }
  std::string out(text.size() / 4 * 3, '\0');
  if (text.empty()) return out;
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  // EVP_DecodeBlock counts padding as zero bytes.
  size_t pad = 0;
  if (text.ends_with("==")) {
    pad = 2;
  } else if (text.ends_with("=")) {
    pad = 1;
  }
  out.resize(static_cast<size_t>(n) - pad);
  return out;
}

std::string base64Encode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::optional<std::string> decryptAgentValue(const AgentPayload& payload) {
  auto ct = base64Decode(payload.ciphertext);
  if (!ct || ct->empty() || ct->size() % 16 != 0) return std::nullopt;
  if (!isLowerHex(payload.key, 64) || !isLowerHex(payload.iv, 32)) return std::nullopt;
  std::vector<unsigned char> key = hexBytes(payload.key);
  std::vector<unsigned char> iv = hexBytes(payload.iv);
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      &EVP_CIPHER_CTX_free);
  std::string plain(ct->size() + 16, '\0');
  int len1 = 0, len2 = 0;
  bool ok = ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data()) == 1 &&
            EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()), &len1,
                              reinterpret_cast<const unsigned char*>(ct->data()),
                              static_cast<int>(ct->size())) == 1 &&
            EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()) + len1, &len2) == 1;
  OPENSSL_cleanse(key.data(), key.size());
  OPENSSL_cleanse(iv.data(), iv.size());
  if (!ok) {
    OPENSSL_cleanse(plain.data(), plain.size());
    return std::nullopt;
  }
  plain.resize(static_cast<size_t>(len1 + len2));
  auto value = exportedValue(plain, payload.name);
  OPENSSL_cleanse(plain.data(), plain.size());
  return value;
}

}  // namespace caskel::cli
