#include "cli/guard_command.h"

#include <openssl/crypto.h>

#include <algorithm>

#include "cli/cli_platform.h"
#include "cli/guard_scanner.h"
#include "cli/hook_event.h"

namespace caskel::cli {

namespace {

constexpr size_t kMaxScanBytes = 16 * 1024 * 1024;

// A scanner that knows the stored peeks. A hook runs on every tool call: it must never put a
// passphrase prompt on screen, so the listing is asked without one.
GuardScanner scannerOfStoredPeeks(CommandContext& ctx) {
  GuardScanner scanner;
  Exchange listing = ctx.client().send({{"cmd", "ls"}, {"no_prompt", true}});
  if (listing.failure != TransportFailure::kNone) return scanner;
  auto accounts = listing.reply.find("accounts");
  if (accounts == listing.reply.end() || !accounts->is_array()) return scanner;
  for (const auto& e : *accounts) {
    if (!e.is_object()) continue;
    auto account = e.find("account");
    auto peek = e.find("peek");
    if (account != e.end() && account->is_string() && peek != e.end() && peek->is_string()) {
      scanner.addPeek(account->get<std::string>(), peek->get<std::string>());
    }
  }
  return scanner;
}

}  // namespace

int guardHookCommand(CommandContext& ctx) {
  auto input = readAll(ctx.io().inFd, kMaxScanBytes);
  if (!input) {
    ctx.error("caskel guard: the hook event could not be read (at most 16 MiB); nothing checked.");
    return kExitFailed;
  }
  auto event = HookEvent::parse(*input);
  wipe(*input);
  if (!event) {
    ctx.error("caskel guard: standard input is not a hook event (a JSON object with tool_response).");
    return kExitFailed;
  }
  // Only stored secrets count here: a warning interrupts the agent, and credential-like tokens
  // (checksums, lock-file hashes) turn up in ordinary output far too often for that.
  std::vector<std::string> leaked;
  for (const auto& f : scannerOfStoredPeeks(ctx).scan(event->output)) {
    if (!f.account.empty() && std::find(leaked.begin(), leaked.end(), f.account) == leaked.end()) {
      leaked.push_back(f.account);
    }
  }
  wipe(event->output);
  if (leaked.empty()) return kExitOk;
  ctx.io().err(hookLeakWarning(event->toolName, leaked));
  return kExitHookFeedback;
}

int guardCommand(CommandContext& ctx, bool strict) {
  // Pass-through first and as it arrives: the guard must never hold up or alter the output.
  std::string seen;
  bool truncated = false;
  char buf[65536];
  while (true) {
    long n = readChunk(ctx.io().inFd, buf, sizeof buf);
    if (n <= 0) break;
    std::string_view chunk(buf, static_cast<size_t>(n));
    ctx.out(chunk);
    if (seen.size() + chunk.size() <= kMaxScanBytes) {
      seen.append(chunk);
    } else {
      truncated = true;
    }
  }

  OPENSSL_cleanse(buf, sizeof buf);

  GuardScanner scanner = scannerOfStoredPeeks(ctx);
  std::string text = seen;
  bool fromJson = false;
  if (auto j = nlohmann::json::parse(seen, nullptr, false); !j.is_discarded() && j.is_structured()) {
    text.clear();
    appendJsonStrings(j, text);
    fromJson = true;
  }
  auto findings = scanner.scan(text);
  wipe(text);
  wipe(seen);
  for (const auto& f : findings) {
    std::string where = fromJson ? std::string("the tool output") : "line " + std::to_string(f.line);
    std::string what = f.account.empty() ? "a " + std::to_string(f.tokenLength) + "-character " + f.reason
                                         : "the peek of the stored secret " + f.account;
    ctx.error(
        "caskel guard: WARNING — " + where + " contains " + what +
        ". Do not repeat or store it; if it is a real credential, tell the user and consider rotating it.");
  }
  if (truncated) ctx.error("caskel guard: input beyond 16 MiB was passed through without a check.");
  return strict && !findings.empty() ? kExitFailed : kExitOk;
}

}  // namespace caskel::cli
