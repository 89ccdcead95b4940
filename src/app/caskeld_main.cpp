// caskeld: the command server without a GUI, for SSH sessions, tmux panes, servers and CI.
#include <caskel/version.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "app/server_host.h"
#include "platform/clipboard.h"
#include "platform/file_system.h"
#include "platform/network_namespace.h"
#include "platform/stop_signals.h"

int main(int argc, char** argv) {
  CLI::App cli{"caskeld — the Caskel command server"};
  std::string socketPath;
  bool showVersion = false;
  cli.add_option(
      "--socket", socketPath,
      "Listen on this socket path (default: $CASKEL_SOCKET, else /tmp/caskel-sock-<uid>/caskel.sock)");
  cli.add_flag("--version", showVersion, "Print the version and exit");
  double backupLifetime = 3600;
  // For tests: how long a rotated-out value stays as <key>_OLD.
  cli.add_option("--rotate-backup-seconds", backupLifetime)->group("")->check(CLI::PositiveNumber);
  // For tests: how long a connection may take to send its request (the load test holds a
  // thousand connections open until all are made, which a slow machine may stretch past 5 s).
  double receiveSeconds = 5;
  cli.add_option("--receive-seconds", receiveSeconds)->group("")->check(CLI::PositiveNumber);
  // For tests: a passphrase change stops inside its transaction, after writing this file, so
  // that the test can kill the server at the worst moment.
  std::string pauseBeforePassphraseCommit;
  cli.add_option("--pause-before-passphrase-commit", pauseBeforePassphraseCommit)->group("");
  CLI11_PARSE(cli, argc, argv);
  if (showVersion) {
    std::cout << caskel::kVersion << std::endl;
    return 0;
  }
  // Before any thread exists: the kernel then gives the server no network device but loopback.
  // Pinentry and the clipboard tools it starts keep their display and session bus.
  caskel::enterNetworkNamespace(caskel::environmentObstacle());

  caskel::ServerHostOptions options;
  if (!socketPath.empty()) {
    options.server.socketPath = socketPath;
  } else if (const char* env = std::getenv("CASKEL_SOCKET"); env && *env) {
    options.server.socketPath = std::string(env);
  }
  // The tool installed beside this server is the one the agent fragments name.
  options.server.cliPath =
      caskel::fs::parentOf(caskel::fs::ownExecutablePath().value_or("./caskeld")) + "/caskel";
  options.server.rotateBackupLifetime = backupLifetime;
  options.server.receiveBudget = receiveSeconds;
  options.clipboard = caskel::Clipboard::system();
  if (!pauseBeforePassphraseCommit.empty()) {
    options.vault.beforePassphraseCommit = [marker = pauseBeforePassphraseCommit] {
      caskel::fs::writeFileAtomically(marker, "paused\n");
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    };
  }

  caskel::RunLoop mainLoop;
  caskel::ServerHost host(std::move(options), mainLoop);
  if (!host.start()) return 1;
  caskel::onStopSignal([&mainLoop] { mainLoop.quit(); });
  mainLoop.run();
  host.stop();
  return 0;
}
