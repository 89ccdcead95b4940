#include "cli/redaction_filter.h"

#include <openssl/crypto.h>

#include <cstring>

namespace caskel::cli {

RedactionFilter::~RedactionFilter() {
  for (auto& p : patterns_) OPENSSL_cleanse(p.value.data(), p.value.size());
  OPENSSL_cleanse(pending_.data(), pending_.size());
}

namespace {

// Code points of UTF-8 text (bytes that do not continue a sequence).
size_t characterCount(std::string_view text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace

void RedactionFilter::addValue(std::string name, std::string value) {
  if (characterCount(value) < kMinMaskedCharacters) {
    OPENSSL_cleanse(value.data(), value.size());
    return;
  }
  patterns_.push_back({std::move(name), std::move(value)});
}

std::string RedactionFilter::push(std::string_view chunk) {
  pending_.append(chunk);
  return drain(false);
}

std::string RedactionFilter::finish() {
  return drain(true);
}

bool RedactionFilter::couldStartValue(size_t pos) const {
  const size_t available = pending_.size() - pos;
  for (const auto& p : patterns_) {
    if (p.value.size() > available && std::memcmp(p.value.data(), pending_.data() + pos, available) == 0) {
      return true;
    }
  }
  return false;
}

std::string RedactionFilter::drain(bool final) {
  std::string out;
  size_t pos = 0;
  // The earliest place any value could still begin with the input seen so far.
  size_t firstPartial = pending_.size();
  if (!final) {
    for (size_t j = 0; j < pending_.size(); ++j) {
      if (couldStartValue(j)) {
        firstPartial = j;
        break;
      }
    }
  }
  while (true) {
    size_t bestAt = std::string::npos;
    const Pattern* best = nullptr;
    for (const auto& p : patterns_) {
      size_t at = pending_.find(p.value, pos);
      if (at == std::string::npos) continue;
      if (at < bestAt || (at == bestAt && p.value.size() > best->value.size())) {
        bestAt = at;
        best = &p;
      }
    }
    // A complete match is taken only when no longer value could still start before it.
    if (best == nullptr || bestAt > firstPartial) break;
    if (bestAt == firstPartial && !final) {
      // A value starts here completely, but a longer one starting at the same place might
      // still complete: wait for more input unless the longest candidate is already here.
      bool longerPossible = false;
      const size_t available = pending_.size() - bestAt;
      for (const auto& p : patterns_) {
        if (p.value.size() > best->value.size() && p.value.size() > available &&
            std::memcmp(p.value.data(), pending_.data() + bestAt, available) == 0) {
          longerPossible = true;
        }
      }
      if (longerPossible) break;
    }
    out.append(pending_, pos, bestAt - pos);
    out += "<redacted:" + best->name + ">";
    pos = bestAt + best->value.size();
    if (!final && firstPartial < pos) {
      firstPartial = pending_.size();
      for (size_t j = pos; j < pending_.size(); ++j) {
        if (couldStartValue(j)) {
          firstPartial = j;
          break;
        }
      }
    }
  }
  const size_t keepFrom = final ? pending_.size() : std::max(pos, firstPartial);
  out.append(pending_, pos, keepFrom - pos);
  std::string rest = pending_.substr(keepFrom);
  OPENSSL_cleanse(pending_.data(), pending_.size());
  pending_ = std::move(rest);
  return out;
}

}  // namespace caskel::cli
