#pragma once

#include <string>

#include "platform/passphrase_prompt.h"

namespace caskel {

// Asks through the user's pinentry program: $CASKEL_PINENTRY when set, else `pinentry` on
// PATH. Each question runs a fresh child over a socket pair (its stdin and stdout) and speaks
// Assuan to it. The child gets this process's own environment (so its DISPLAY or
// WAYLAND_DISPLAY) and, when this process's standard input is a terminal, that terminal; it
// never gets a terminal named by a client. A child that is missing, dies, talks nonsense or
// does not answer within the time limit gives `unavailable`; it is always killed and reaped.
class PinentryClient : public PassphrasePrompt {
 public:
  static constexpr int kDefaultTimeoutSeconds = 300;
  explicit PinentryClient(int timeoutSeconds = kDefaultTimeoutSeconds);

  bool available() override;
  PinentryReply getPassphrase(const PinentryRequest& request) override;

  // The program that would run now, resolved against PATH; empty when there is none.
  static std::string resolveProgram();

 private:
  int timeoutMs_;
};

}  // namespace caskel
