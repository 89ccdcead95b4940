#include "server/request_handler.h"

#include "base/key_path.h"
#include "server/audit_handler.h"
#include "server/folder_handlers.h"
#include "server/response_writer.h"
#include "server/rotate_handler.h"
#include "server/secret_handlers.h"
#include "server/small_handlers.h"
#include "server/vault_handlers.h"
#include "store/json_text.h"

namespace caskel {

namespace {

struct Command {
  std::string_view name;
  CommandHandler run;
};

// Every command the server answers.
constexpr Command kCommands[] = {
    {"set", handleSet},
    {"get", handleGet},
    {"peek", handlePeek},
    {"rm", handleDelete},
    {"ls", handleList},
    {"rotate", handleRotate},
    {"meta", handleMeta},
    {"unlock", handleUnlock},
    {"lock", handleLock},
    {"session", handleSession},
    {"config", handleConfig},
    {"passwd", handlePasswd},
    {"backup", handleBackup},
    {"restore", handleRestore},
    {"version", handleVersion},
    {"get-cli", handleGetCli},
    {"ai-instructions", handleInstructions},
    {"audit", handleAudit},
};

}  // namespace

std::optional<std::string> Request::string(const char* key) const {
  auto it = body.find(key);
  if (it == body.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

RequestHandler::RequestHandler(ServerServices& services) : services_(services) {}

CommandHandler RequestHandler::find(std::string_view name) {
  for (const Command& command : kCommands) {
    if (command.name == name) return command.run;
  }
  return nullptr;
}

void RequestHandler::handle(int fd, const CallerInfo& caller, std::string_view bytes) {
  Reply reply = respond(caller, bytes);
  sendReply(fd, reply);
  if (reply.refreshesApplication() && services_.refreshApplication) {
    services_.refreshApplication(reply.refreshContext());
  }
}

Reply RequestHandler::respond(const CallerInfo& caller, std::string_view bytes) {
  nlohmann::json body = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
  Reply reply = dispatch(caller, body);
  // A set or rotate carries its value in the request: leave none of it in freed memory.
  wipeJsonStrings(body);
  return reply;
}

Reply RequestHandler::dispatch(const CallerInfo& caller, const nlohmann::json& body) {
  if (body.is_discarded() || !body.is_object()) return Reply::failure("Invalid request");
  auto cmd = body.find("cmd");
  if (cmd == body.end() || !cmd->is_string()) return Reply::failure("Invalid request");
  if (auto v = body.find("cli_version"); v != body.end() && v->is_string() && services_.reportCliVersion) {
    services_.reportCliVersion(v->get<std::string>());
  }
  if (auto a = body.find("account");
      a != body.end() && a->is_string() && !isValidKeyPath(a->get<std::string>())) {
    return Reply::failure(kInvalidAccount);
  }
  if (auto p = body.find("prefix");
      p != body.end() && p->is_string() && !isValidKeyPath(p->get<std::string>())) {
    return Reply::failure(kInvalidPrefix);
  }
  const std::string name = cmd->get<std::string>();
  CommandHandler handler = find(name);
  if (!handler) return Reply::failure("Unknown command: " + name);
  return handler(Request{body, caller, services_});
}

}  // namespace caskel
