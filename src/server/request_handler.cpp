#include "server/request_handler.h"

#include "server/response_writer.h"
#include "server/small_commands.h"
#include "store/key_path.h"

namespace caskel {

std::optional<std::string> Request::string(const char* key) const {
  auto it = body.find(key);
  if (it == body.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

RequestHandler::RequestHandler(ServerServices& services) : services_(services) { registerSmallCommands(*this); }

void RequestHandler::registerCommand(const std::string& name, Handler handler) {
  commands_[name] = std::move(handler);
}

void RequestHandler::handle(int fd, const CallerInfo& caller, std::string_view bytes) {
  nlohmann::json body = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    sendResponse(fd, false, std::nullopt, "Invalid request");
    return;
  }
  auto cmd = body.find("cmd");
  if (cmd == body.end() || !cmd->is_string()) {
    sendResponse(fd, false, std::nullopt, "Invalid request");
    return;
  }
  if (auto v = body.find("cli_version"); v != body.end() && v->is_string() && services_.reportCliVersion) {
    services_.reportCliVersion(v->get<std::string>());
  }
  if (auto a = body.find("account"); a != body.end() && a->is_string() && !isValidKeyPath(a->get<std::string>())) {
    sendResponse(fd, false, std::nullopt, kInvalidAccount);
    return;
  }
  if (auto p = body.find("prefix"); p != body.end() && p->is_string() && !isValidKeyPath(p->get<std::string>())) {
    sendResponse(fd, false, std::nullopt, kInvalidPrefix);
    return;
  }
  const std::string name = cmd->get<std::string>();
  auto handler = commands_.find(name);
  if (handler == commands_.end()) {
    sendResponse(fd, false, std::nullopt, "Unknown command: " + name);
    return;
  }
  handler->second(Request{fd, body, caller, services_});
}

}  // namespace caskel
