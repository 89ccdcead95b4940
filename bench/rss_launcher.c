/* Reports the peak resident set of one command. A child started straight from a large process
   inherits that process's high-water mark across exec, so this small static launcher forks the
   command itself and writes the child's ru_maxrss (KiB) to the file named by $RSS_OUT. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  pid_t child = fork();
  if (child == 0) {
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage ru;
  if (wait4(child, &status, 0, &ru) < 0) return 3;
  const char* out = getenv("RSS_OUT");
  if (out) {
    FILE* f = fopen(out, "w");
    if (f) {
      fprintf(f, "%ld\n", ru.ru_maxrss);
      fclose(f);
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
