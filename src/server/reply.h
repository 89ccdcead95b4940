#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/auth_context.h"
#include "platform/secret_string.h"

namespace caskel {

// What a command answers, built by its handler and written by sendReply. Either the common
// shape — "ok", then "value" and "error" when present, then the extra keys (replacing one
// already set) — or a whole object ("ls", "session", "config"). The value may be a secret: it
// is wiped when the reply goes.
class Reply {
 public:
  static Reply success(std::optional<std::string_view> value = std::nullopt, nlohmann::json extra = nullptr);
  static Reply failure(std::string error);
  static Reply object(nlohmann::json whole);

  // The extra keys may carry the agent fragment's key: wiped with the reply.
  ~Reply();
  Reply(Reply&&) = default;
  Reply& operator=(Reply&&) = default;

  // Asks for a reload of the application state once the reply has been sent; `context`, when
  // given, is an evaluated one the reload may use instead of prompting.
  Reply refreshingApplication(std::shared_ptr<AuthContext> context = nullptr) &&;

  bool ok() const;
  std::optional<std::string_view> value() const;
  const std::optional<std::string>& error() const { return error_; }
  bool refreshesApplication() const { return refresh_; }
  const std::shared_ptr<AuthContext>& refreshContext() const { return refreshContext_; }

  // The object as it goes on the wire (a copy: wipe its "value" when done with it).
  nlohmann::json toJson() const;

 private:
  Reply() = default;

  bool ok_ = false;
  std::optional<SecretString> value_;
  std::optional<std::string> error_;
  nlohmann::json extra_;
  nlohmann::json whole_;  // set only for a whole-object reply
  bool refresh_ = false;
  std::shared_ptr<AuthContext> refreshContext_;
};

}  // namespace caskel
