#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/auth_context.h"
#include "platform/work_queue.h"
#include "server/caller_info.h"
#include "server/reply.h"
#include "store/keychain_manager.h"

namespace caskel {

class AuditLogger;
class BackupTimers;
class SessionManager;

// What the command handlers work with besides the connection itself.
struct ServerServices {
  KeychainManager keychain;
  SessionManager& session;
  AuditLogger& audit;
  TaskQueue& clientQueue;  // handlers' timers (the rotate backup removal)
  // Schedules a reload of the application state on the main queue (not awaited).
  std::function<void(std::shared_ptr<AuthContext>)> refreshApplication;
  // Hands the tool's reported version to the application state on the main queue.
  std::function<void(std::string)> reportCliVersion;
  // The agent instructions document.
  std::function<std::string()> instructions;
  // The caskel executable served by "get-cli".
  std::string cliPath;
  // The home directory used to shorten paths in caller descriptions.
  std::string home;
  // Removal timers of the "_OLD" backups that "rotate" keeps, and how long such a backup lives.
  BackupTimers& backupTimers;
  double backupLifetime = 3600;
};

// One connection's request: who sent it and what it asked.
struct Request {
  const nlohmann::json& body;
  const CallerInfo& caller;
  ServerServices& services;

  // The string under `key`, or nothing when missing or not a string.
  std::optional<std::string> string(const char* key) const;
  std::string callerDescription() const { return caller.description(services.home); }
};

// A command: it answers with the reply that the writer sends.
using CommandHandler = Reply (*)(const Request&);

// Parses, validates and dispatches one request to the command table, and writes its one reply.
class RequestHandler {
 public:
  explicit RequestHandler(ServerServices& services);

  // `bytes` is everything read from the connection; the descriptor is not closed here. A
  // reply that asks for it refreshes the application once it has been sent.
  void handle(int fd, const CallerInfo& caller, std::string_view bytes);
  // The reply to `bytes`, without sending it or refreshing anything.
  Reply respond(const CallerInfo& caller, std::string_view bytes);
  ServerServices& services() { return services_; }

  // The handler of a command name, or nothing for an unknown one.
  static CommandHandler find(std::string_view name);

  static constexpr const char* kInvalidAccount =
      "Invalid account name — use only letters, numbers, /, _, ., - (max 512 chars)";
  static constexpr const char* kInvalidPrefix =
      "Invalid prefix — use only letters, numbers, /, _, ., - (max 512 chars)";

 private:
  Reply dispatch(const CallerInfo& caller, const nlohmann::json& body);

  ServerServices& services_;
};

}  // namespace caskel
