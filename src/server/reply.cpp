#include "server/reply.h"

#include "store/json_text.h"

namespace caskel {

Reply Reply::success(std::optional<std::string_view> value, nlohmann::json extra) {
  Reply reply;
  reply.ok_ = true;
  if (value) reply.value_.emplace(*value);
  reply.extra_ = std::move(extra);
  return reply;
}

Reply::~Reply() {
  wipeJsonStrings(extra_);
}

Reply Reply::failure(std::string error) {
  Reply reply;
  reply.error_ = std::move(error);
  return reply;
}

Reply Reply::object(nlohmann::json whole) {
  Reply reply;
  reply.whole_ = std::move(whole);
  return reply;
}

Reply Reply::refreshingApplication(std::shared_ptr<AuthContext> context) && {
  refresh_ = true;
  refreshContext_ = std::move(context);
  return std::move(*this);
}

bool Reply::ok() const {
  if (whole_.is_object()) {
    auto it = whole_.find("ok");
    return it != whole_.end() && it->is_boolean() && it->get<bool>();
  }
  return ok_;
}

std::optional<std::string_view> Reply::value() const {
  if (!value_) return std::nullopt;
  return value_->view();
}

nlohmann::json Reply::toJson() const {
  if (whole_.is_object()) return whole_;
  nlohmann::json reply = nlohmann::json::object();
  reply["ok"] = ok_;
  if (value_) reply["value"] = value_->str();
  if (error_) reply["error"] = *error_;
  if (extra_.is_object()) {
    for (auto& [key, item] : extra_.items()) reply[key] = item;
  }
  return reply;
}

}  // namespace caskel
