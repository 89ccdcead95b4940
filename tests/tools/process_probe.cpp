// One process of a caller's process tree, for tests. Without arguments it writes its pid and a
// line feed to stdout and lives until stdin ends; with arguments it runs them (argv[1] is a
// path) as its child, sharing stdin and stdout. Copies named like shells build any chain.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc > 1) {
    pid_t child = ::fork();
    if (child == 0) {
      ::execv(argv[1], argv + 1);
      ::_exit(127);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                                   : 126;
  }
  std::printf("%d\n", static_cast<int>(::getpid()));
  std::fflush(stdout);
  char buf[256];
  while (::read(0, buf, sizeof buf) > 0) {
  }
  return 0;
}
