// A minimal socket client for end-to-end tests: sends one request and prints the reply.
//   raw_client SOCKET REQUEST_JSON
// Run under different names and parents, it plays the callers whose process trees the server
// walks (a copy named "caskel" is a wrapper; one under a "claude" directory is an agent).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SOCKET REQUEST_JSON\n", argv[0]);
    return 2;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, argv[1], sizeof addr.sun_path - 1);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("connect");
    return 3;
  }
  // A refused peer may be answered and closed before its request is written: read anyway.
  (void)::send(fd, argv[2], std::strlen(argv[2]), MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) std::fwrite(buf, 1, static_cast<size_t>(n), stdout);
  return 0;
}
