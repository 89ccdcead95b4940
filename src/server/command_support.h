#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/auth_context.h"
#include "server/request_handler.h"
#include "session/session_manager.h"
#include "store/secret_metadata.h"

namespace caskel {

// The metadata fields a request carries: "type", "bundle", "desc", "expires", "rotate" as
// strings and "strict" as a boolean; a key of another type counts as absent; "peek" is never
// taken from a request. Nothing when no field is usable.
std::optional<SecretMetadata> requestMetadata(const nlohmann::json& request);

// The caller as the authenticator knows it: a yes given to one program is not one for another.
Requester requesterOf(const CallerInfo& caller);

// A key path as prompts show it: capped, so that the caller's description always fits.
std::string shownKey(const std::string& account);

// Whether saving `next` over an item that `wasStrict` takes its strict protection away.
bool dropsStrict(bool wasStrict, const std::optional<SecretMetadata>& next);
// The prompt of its own that removing strict protection needs: never skipped by the reuse
// window, so a recent yes for something else cannot downgrade a secret.
bool confirmStrictRemoval(const Request& request, const std::string& account);

// Refused to agents before any prompt or read: output that would carry the raw value.
inline constexpr const char* kRawOutputRefused =
    "Raw output is blocked for AI agents — use `caskel get <key>` (encrypted hand-off) or "
    "`caskel run <prefix> -- <command>` instead";

// One prompt with `reason`, no reuse: nothing when the person said yes, else the reply's error text.
std::optional<std::string> promptRefusal(const Request& request, const std::string& reason);
// confirmStrictRemoval, saying why not.
std::optional<std::string> strictRemovalRefusal(const Request& request, const std::string& account);
// The error text of a prompt that did not end in a yes: "Passphrase prompt unavailable: " and
// why, when none could be shown (no answer is not a no); else "Authentication canceled".
std::string refusalText(const AuthContext& context);
std::string refusalText(const UnlockResult& unlocked);

// A prompt whose context is kept for later store reads, with the 30-second reuse window.
struct PromptResult {
  AuthOutcome outcome = AuthOutcome::unavailable;
  bool couldEvaluate = false;
  std::shared_ptr<AuthContext> context;  // evaluated on success
};
PromptResult promptWithContext(const Request& request, const std::string& reason);

// The first 8 characters of a value followed by "..." (the reply of "set" and "rotate", whose
// caller sent that value).
std::string peekReply(std::string_view value);

// Whether the stored item is strict (its metadata says strict: true).
bool isStrict(const std::optional<SecretMetadata>& metadata);

}  // namespace caskel
