#include "cli/guard_scanner.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace caskel::cli {

namespace {

constexpr size_t kPeekLength = 8;

bool isTokenChar(char c) {
  // "=" and ":" separate a name from its value (KEY=sk-…), so they end a token.
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
         c == '+';
}

int lineAt(std::string_view text, size_t pos, size_t& cursor, int& line) {
  for (; cursor < pos; ++cursor) {
    if (text[cursor] == '\n') ++line;
  }
  return line;
}

// Prefixes that providers put in front of their keys; a token starting with one of them and
// long enough is a credential whatever its entropy.
struct KnownPrefix {
  std::string_view prefix;
  size_t minLength;
  std::string_view what;
};
constexpr std::array<KnownPrefix, 16> kKnownPrefixes{{
    {"sk-ant-", 24, "an Anthropic key"},
    {"sk-proj-", 24, "an OpenAI key"},
    {"sk-", 24, "an API secret key"},
    {"sk_live_", 20, "a Stripe secret key"},
    {"rk_live_", 20, "a Stripe restricted key"},
    {"ghp_", 30, "a GitHub token"},
    {"gho_", 30, "a GitHub token"},
    {"ghs_", 30, "a GitHub token"},
    {"ghu_", 30, "a GitHub token"},
    {"github_pat_", 30, "a GitHub token"},
    {"glpat-", 20, "a GitLab token"},
    {"xoxb-", 20, "a Slack token"},
    {"xoxp-", 20, "a Slack token"},
    {"AKIA", 20, "an AWS access key id"},
    {"AIza", 35, "a Google API key"},
    {"eyJ", 30, "a JSON Web Token"},
}};

}  // namespace

void GuardScanner::addPeek(std::string account, std::string peek) {
  // The server's peek replies end in "..."; the stored peek is the 8 characters before it.
  if (peek.ends_with("...") && peek.size() > kPeekLength) peek.resize(peek.size() - 3);
  if (peek.size() < kPeekLength) return;
  peeks_.push_back({std::move(account), std::move(peek)});
}

double GuardScanner::entropy(std::string_view token) {
  if (token.empty()) return 0;
  std::array<size_t, 256> counts{};
  for (unsigned char c : token) ++counts[c];
  double bits = 0;
  for (size_t n : counts) {
    if (n == 0) continue;
    double p = static_cast<double>(n) / static_cast<double>(token.size());
    bits -= p * std::log2(p);
  }
  return bits;
}

bool GuardScanner::looksLikeCredential(std::string_view token, std::string& reason) {
  for (const auto& known : kKnownPrefixes) {
    if (token.size() >= known.minLength && token.starts_with(known.prefix) &&
        entropy(token.substr(known.prefix.size())) >= 3.0) {
      reason = "token that looks like " + std::string(known.what);
      return true;
    }
  }
  if (token.size() < 24) return false;
  bool upper = false, lower = false, digit = false;
  size_t hexLike = 0;
  for (char c : token) {
    if (c >= 'A' && c <= 'Z') upper = true;
    if (c >= 'a' && c <= 'z') lower = true;
    if (c >= '0' && c <= '9') digit = true;
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) ++hexLike;
  }
  // Lower-case hex is what commit ids and checksums look like: too common to flag.
  if (hexLike == token.size()) return false;
  // Random keys mix upper and lower case with digits; identifiers and words rarely do all three
  // at this length and entropy.
  if (!(upper && lower && digit)) return false;
  if (entropy(token) < 4.0) return false;
  reason = "high-entropy token that looks like a credential";
  return true;
}

std::vector<GuardFinding> GuardScanner::scan(std::string_view text) const {
  std::vector<GuardFinding> findings;
  size_t cursor = 0;
  int line = 1;
  // Peeks first, in order of where they appear.
  struct Hit {
    size_t pos;
    const Peek* peek;
  };
  std::vector<Hit> hits;
  for (const auto& p : peeks_) {
    size_t at = text.find(p.text);
    if (at != std::string_view::npos) hits.push_back({at, &p});
  }
  std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.pos < b.pos; });
  for (const auto& h : hits) {
    GuardFinding f;
    f.line = lineAt(text, h.pos, cursor, line);
    f.account = h.peek->account;
    f.reason = "matches the peek of a stored secret";
    findings.push_back(std::move(f));
  }

  cursor = 0;
  line = 1;
  size_t i = 0;
  while (i < text.size()) {
    if (!isTokenChar(text[i])) {
      ++i;
      continue;
    }
    size_t start = i;
    while (i < text.size() && isTokenChar(text[i])) ++i;
    std::string_view token = text.substr(start, i - start);
    // Trailing separators are not part of what makes a token random.
    while (!token.empty() && token.back() == '-') token.remove_suffix(1);
    std::string reason;
    if (token.size() >= 16 && looksLikeCredential(token, reason)) {
      GuardFinding f;
      f.line = lineAt(text, start, cursor, line);
      f.tokenLength = token.size();
      f.reason = reason;
      findings.push_back(std::move(f));
    }
  }
  return findings;
}

}  // namespace caskel::cli
