#pragma once

#include <string>

#include "platform/passphrase_prompt.h"

namespace caskel {

// Asks through the user's pinentry program, a fixed absolute path chosen once (see locate()).
// Each question runs a fresh child over a socket pair (its stdin and stdout) and speaks
// Assuan to it. The child gets this process's own environment (so its DISPLAY or
// WAYLAND_DISPLAY) and, when this process's standard input is a terminal, that terminal; it
// never gets a terminal named by a client. A child that is missing, dies, talks nonsense, says
// it cannot show a dialog or does not answer within the time limit gives `unavailable` with
// the reason; it is always killed and reaped. Only the person's own no (or the dialog's own
// time-out) is `canceled`.
class PinentryClient : public PassphrasePrompt {
 public:
  static constexpr int kDefaultTimeoutSeconds = 300;

  struct Program {
    enum class Status { found, relativeSetting, settingNotExecutable, notFound };
    Status status = Status::notFound;
    std::string path;  // absolute; empty unless found
    // Why no program can be run, in words for the person; empty when found.
    std::string whyMissing() const;
  };
  // Chooses from this process's environment: $CASKEL_PINENTRY when set, which must be an
  // absolute path to an executable file, else `pinentry` on PATH (see findOnPath).
  static Program locate();

  // Runs `program`, an absolute path; none (empty) means no prompt can be shown, for the
  // reason `whyMissing` gives.
  explicit PinentryClient(std::string program, int timeoutSeconds = kDefaultTimeoutSeconds,
                          std::string whyMissing = {});
  explicit PinentryClient(const Program& program, int timeoutSeconds = kDefaultTimeoutSeconds);
  // Runs what locate() chooses now.
  explicit PinentryClient(int timeoutSeconds = kDefaultTimeoutSeconds);

  bool available() override;
  std::string unavailableReason() override;
  PinentryReply getPassphrase(const PinentryRequest& request) override;
  const std::string& program() const { return program_; }

 private:
  const std::string program_;
  const std::string whyMissing_;
  int timeoutMs_;
};

}  // namespace caskel
