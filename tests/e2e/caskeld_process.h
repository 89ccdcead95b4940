#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/scripted_pinentry.h"
#include "support/test_env.h"

namespace caskel::test {

// The real caskeld in a temporary HOME, with its own socket and a scripted pinentry that
// answers the vault passphrase unless a test queues something else.
class CaskeldProcess {
 public:
  static constexpr const char* kPassphrase = "correct horse battery staple";

  struct Options {
    bool auditEnabled = true;
    std::vector<std::string> extraArgs;
    std::map<std::string, std::string> extraEnv;
    std::optional<mode_t> umask;  // the server's umask at start
    // A command the server is started through (e.g. setpriv with its options); it must exec
    // the server in its own process, so that pid() stays the server's.
    std::vector<std::string> launcher;
    // Leaves CASKEL_PINENTRY out of the server's environment (extraEnv may still set it).
    bool unsetPinentry = false;
    // The server's working directory; this process's own when empty.
    std::string workingDir;
  };

  CaskeldProcess();
  explicit CaskeldProcess(Options options);
  ~CaskeldProcess();

  // Starts the server and waits until it listens (or exits). False when it did not start.
  bool start();
  // Sends a signal and waits for the exit status (or -1 when it died by a signal).
  int stop(int signal = 15);
  // Stops the server with `signal` and starts it again on the same HOME and socket.
  bool restart(int signal = 9);
  // True while the server process exists and has not exited (a zombie counts as gone).
  bool running() const;
  pid_t pid() const { return pid_; }

  // One request from this test process; the parsed reply (null when none or not JSON).
  nlohmann::json request(const nlohmann::json& body) const;
  // One request written raw; the reply text as received.
  std::string requestRaw(const std::string& bytes) const;
  // One request from a separate client process: `command` (a client, or wrappers such as
  // sh -c or setpriv before it) given the socket and the request. Reply text.
  std::string requestFrom(const std::vector<std::string>& command, const nlohmann::json& body,
                          const RunOptions& run = {}) const;
  // The same, parsed (null when there was no JSON reply).
  nlohmann::json ask(const std::vector<std::string>& command, const nlohmann::json& body,
                     const RunOptions& run = {}) const;

  // Everything caskeld printed on standard output so far.
  std::string output() const;
  // The audit log's lines.
  std::vector<std::string> auditLines() const;
  // Waits (inotify, bounded) until the audit log holds a line containing every needle.
  bool waitForAudit(const std::vector<std::string>& needles, int timeoutMs = 10000) const;
  // Waits (inotify on `dir`, bounded) until `done` holds; checked after every change in dir.
  static bool waitUntil(const std::function<bool()>& done, const std::string& dir, int timeoutMs = 10000);
  std::string dataDir() const { return home_.path() + "/.local/share/caskel"; }

  const std::string& home() const { return home_.path(); }
  const std::string& socketPath() const { return socketPath_; }
  std::string socketDir() const;
  ScriptedPinentry& pinentry() { return *pinentry_; }
  int prompts() const { return pinentry_->promptCount(); }
  // The text of the newest prompt, or "".
  std::string lastPrompt() const;
  std::string configDir() const { return home_.path() + "/.config/caskel"; }
  static std::string rawClientPath();

 private:
  Options options_;
  TempDir home_;
  std::string socketPath_;
  std::unique_ptr<ScriptedPinentry> pinentry_;
  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  std::thread reader_;
  mutable std::mutex outputMutex_;
  std::string output_;
};

// A "set" request; `extra` adds metadata fields.
nlohmann::json setRequest(const std::string& account, const std::string& value,
                          const nlohmann::json& extra = nlohmann::json::object());

}  // namespace caskel::test
