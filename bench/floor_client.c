/* The physical floor of a socket tool: start a process, send one request, read the reply. */
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, argv[1], sizeof addr.sun_path - 1);
  if (connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0) return 3;
  static const char request[] = "{\"cmd\":\"get\",\"account\":\"bench/floor/KEY\"}";
  if (write(fd, request, sizeof request - 1) < 0) return 4;
  shutdown(fd, SHUT_WR);
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    if (write(1, buf, (size_t)n) < 0) return 5;
  }
  return 0;
}
