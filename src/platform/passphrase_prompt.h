#pragma once

#include <string>

#include "platform/secret_string.h"

namespace caskel {

// One question to the person at the machine. Texts are plain (the client escapes them).
struct PinentryRequest {
  std::string title = "Caskel";
  std::string description;
  std::string prompt = "Passphrase:";
  std::string error;  // shown above the field when not empty (a retry)
  // Asking for a new passphrase: it must be typed twice and both must match.
  bool repeat = false;
  std::string repeatPrompt = "Repeat:";
  std::string repeatError = "Passphrases do not match";
};

struct PinentryReply {
  enum class Status { ok, canceled, unavailable };
  Status status = Status::unavailable;
  SecretString pin;  // set only when status is ok
  // Why no answer could be had, for the person to act on ("no pinentry program found");
  // set only when status is unavailable.
  std::string reason;
};

// Something that can ask the user for a passphrase: the pinentry client, or a fake in tests.
class PassphrasePrompt {
 public:
  virtual ~PassphrasePrompt() = default;
  // The prompt program can be run at all.
  virtual bool available() = 0;
  // Why it cannot, in words for the person; empty when it can.
  virtual std::string unavailableReason() { return available() ? std::string() : "no prompt program"; }
  // Blocks until the user answered, canceled, or the prompt proved unusable.
  virtual PinentryReply getPassphrase(const PinentryRequest& request) = 0;
};

}  // namespace caskel
