// The request path end to end, minus the socket: framing, parsing, validation and dispatch to
// every command, against an in-memory store and an authenticator that always says yes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "audit/audit_logger.h"
#include "platform/work_queue.h"
#include "server/request_framing.h"
#include "server/backup_timers.h"
#include "server/request_handler.h"
#include "session/session_manager.h"
#include "support/fakes.h"

namespace {

struct World {
  std::string dir;
  std::shared_ptr<caskel::test::MemoryCredentialStore> store = std::make_shared<caskel::test::MemoryCredentialStore>();
  std::shared_ptr<caskel::test::FakeAuthenticator> auth = std::make_shared<caskel::test::FakeAuthenticator>();
  std::unique_ptr<caskel::DefaultsStore> defaults;
  std::unique_ptr<caskel::AuditLogger> audit;
  std::unique_ptr<caskel::SessionManager> session;
  caskel::WorkQueue queue{"fuzz.clients", 1};
  caskel::BackupTimers backupTimers;
  std::unique_ptr<caskel::ServerServices> services;
  std::unique_ptr<caskel::RequestHandler> handler;

  World() {
    char pattern[] = "/tmp/caskel-fuzz-XXXXXX";
    dir = ::mkdtemp(pattern);
    caskel::Authenticator::setShared(auth);
    caskel::KeychainManager keychain("caskel", store);
    keychain.save("org/proj/KEY", "value", std::nullopt);
    defaults = std::make_unique<caskel::DefaultsStore>(dir + "/defaults.json");
    audit = std::make_unique<caskel::AuditLogger>(dir, *defaults);
    session = std::make_unique<caskel::SessionManager>(keychain, dir + "/config.json");
    services = std::make_unique<caskel::ServerServices>(caskel::ServerServices{
        keychain, *session, *audit, queue, nullptr, nullptr, [] { return std::string("doc"); }, dir + "/none", dir,
        backupTimers, 3600});
    handler = std::make_unique<caskel::RequestHandler>(*services);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World world;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  (void)caskel::isCompleteRequest(bytes);
  if (size > caskel::kMaxRequestBytes) return 0;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  caskel::CallerInfo caller;
  caller.pid = caller.resolvedPid = 4242;
  caller.resolvedStartTime = 1.5;
  caller.name = "fuzzer";
  caller.isAgent = size % 2 == 0;
  world.handler->handle(fds[0], caller, bytes);
  ::close(fds[0]);
  char buf[65536];
  while (::read(fds[1], buf, sizeof buf) > 0) {
  }
  ::close(fds[1]);
  return 0;
}
