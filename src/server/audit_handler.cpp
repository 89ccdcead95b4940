#include "server/audit_handler.h"

#include <cmath>

#include "audit/audit_logger.h"
#include "server/command_support.h"

namespace caskel {

namespace {

// The log's own changes are recorded in it too, so a cleared or paused log says so.
constexpr const char* kOperation = "AUDIT";

int shownLimit(const nlohmann::json& body) {
  auto it = body.find("limit");
  if (it == body.end() || !it->is_number()) return kDefaultAuditShown;
  double n = it->get<double>();
  if (!std::isfinite(n) || n < 1) return kDefaultAuditShown;
  return n > kMaxAuditShown ? kMaxAuditShown : static_cast<int>(n);
}

Reply show(const Request& r) {
  AuditLogger& audit = r.services.audit;
  nlohmann::json entries = nlohmann::json::array();
  for (const AuditEntry& e : audit.readEntries(shownLimit(r.body))) {
    nlohmann::json entry = {{"timestamp", e.timestamp}, {"operation", e.operation}, {"result", e.result}};
    if (e.account) entry["account"] = *e.account;
    entries.push_back(std::move(entry));
  }
  return Reply::object({{"ok", true},
                        {"enabled", audit.isEnabled()},
                        {"path", audit.logPath()},
                        {"entries", std::move(entries)}});
}

Reply state(AuditLogger& audit) {
  return Reply::success(audit.isEnabled() ? "on" : "off", {{"path", audit.logPath()}});
}

}  // namespace

Reply handleAudit(const Request& r) {
  auto action = r.string("action");
  if (!action) return Reply::failure("Missing action");
  if (*action == "show") return show(r);
  if (*action != "on" && *action != "off" && *action != "clear") {
    return Reply::failure("Unknown audit action: " + *action);
  }
  if (r.caller.treatedAsAgent()) return Reply::failure(kAuditChangeRefused);
  AuditLogger& audit = r.services.audit;
  if (*action == "on") {
    if (!audit.isEnabled()) {
      audit.setEnabled(true);
      audit.log(kOperation, std::nullopt, "on");
    }
    return state(audit);
  }
  if (*action == "off") {
    if (!audit.isEnabled()) return state(audit);
    if (auto refused = promptRefusal(r, "Turn off the audit log — " + r.callerDescription())) {
      return Reply::failure(*refused);
    }
    // Recorded while still on: the last line says the log was paused, and by whom it was asked.
    audit.log(kOperation, std::nullopt, "off");
    audit.setEnabled(false);
    return state(audit);
  }
  if (auto refused = promptRefusal(r, "Clear the audit log — " + r.callerDescription())) {
    return Reply::failure(*refused);
  }
  audit.clear();
  // Queued after the removal: a log that goes on starts by saying it was cleared.
  audit.log(kOperation, std::nullopt, "cleared");
  return state(audit);
}

}  // namespace caskel
