#include "server/command_support.h"

#include "base/display_text.h"

namespace caskel {

std::optional<SecretMetadata> requestMetadata(const nlohmann::json& request) {
  SecretMetadata m;
  bool any = false;
  auto text = [&](const char* key, std::optional<std::string>& field) {
    auto it = request.find(key);
    if (it != request.end() && it->is_string()) {
      field = it->get<std::string>();
      any = true;
    }
  };
  text("type", m.type);
  text("bundle", m.bundle);
  text("desc", m.desc);
  text("expires", m.expires);
  text("rotate", m.rotate);
  if (auto it = request.find("strict"); it != request.end() && it->is_boolean()) {
    m.strict = it->get<bool>();
    any = true;
  }
  if (!any) return std::nullopt;
  return m;
}

Requester requesterOf(const CallerInfo& caller) {
  return caller.requester();
}

std::string shownKey(const std::string& account) {
  return displaySafe(account, kMaxShownKey);
}

bool dropsStrict(bool wasStrict, const std::optional<SecretMetadata>& next) {
  return wasStrict && next && !next->strict.value_or(false);
}

bool confirmStrictRemoval(const Request& request, const std::string& account) {
  return !strictRemovalRefusal(request, account);
}

std::optional<std::string> strictRemovalRefusal(const Request& request, const std::string& account) {
  return promptRefusal(request, "Remove strict protection from \"" + shownKey(account) + "\" — " +
                                    request.callerDescription());
}

std::optional<std::string> promptRefusal(const Request& request, const std::string& reason) {
  AuthContext context;
  context.setRequester(requesterOf(request.caller));
  if (context.canEvaluate() && context.evaluate(reason) == AuthOutcome::success) return std::nullopt;
  return refusalText(context);
}

std::string refusalText(const AuthContext& context) {
  if (!context.isEvaluated() && context.lastOutcome() == AuthOutcome::unavailable) {
    if (std::string why = context.unavailableReason(); !why.empty()) {
      return KeychainError::promptUnavailable(why).errorDescription();
    }
  }
  return KeychainError::authenticationCanceled().errorDescription();
}

std::string refusalText(const UnlockResult& unlocked) {
  if (!unlocked.unavailableReason.empty()) {
    return KeychainError::promptUnavailable(unlocked.unavailableReason).errorDescription();
  }
  return KeychainError::authenticationCanceled().errorDescription();
}

PromptResult promptWithContext(const Request& request, const std::string& reason) {
  PromptResult result;
  result.context = std::make_shared<AuthContext>();
  result.context->setReuseDuration(30);
  result.context->setRequester(requesterOf(request.caller));
  result.couldEvaluate = result.context->canEvaluate();
  if (!result.couldEvaluate) return result;
  result.outcome = result.context->evaluate(reason);
  return result;
}

std::string peekReply(std::string_view value) {
  return firstCharacters(value, 8) + "...";
}

bool isStrict(const std::optional<SecretMetadata>& metadata) {
  return metadata && metadata->strict.value_or(false);
}

}  // namespace caskel
