#include "cli/cli_app.h"
#include "cli/cli_platform.h"

int main(int argc, char** argv) {
  using namespace caskel::cli;
  hardenProcess();
  CliIo io;
  io.out = [](std::string_view text) { writeAll(1, text); };
  io.err = [](std::string_view text) { writeAll(2, text); };
  io.inFd = 0;
  io.inIsTerminal = isTerminal(0);
  io.outIsTerminal = isTerminal(1);
  return runCli(argc, argv, io);
}
