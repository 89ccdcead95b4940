/* The trivial server the floor client talks to: read a request, answer a fixed reply, close.
   Same shape as caskeld's pool (a few threads taking accepted connections), without any work. */
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static int listener;

static void* serve(void* arg) {
  (void)arg;
  static const char reply[] = "{\"ok\":true,\"value\":\"floor-value\"}";
  for (;;) {
    int fd = accept(listener, NULL, NULL);
    if (fd < 0) continue;
    char buf[65536];
    size_t used = 0;
    ssize_t n;
    while (used < sizeof buf && (n = read(fd, buf + used, sizeof buf - used)) > 0) {
      used += (size_t)n;
      if (buf[used - 1] == '}') break;
    }
    if (write(fd, reply, sizeof reply - 1) < 0) {
    }
    close(fd);
  }
  return NULL;
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  signal(SIGPIPE, SIG_IGN);
  listener = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, argv[1], sizeof addr.sun_path - 1);
  unlink(argv[1]);
  if (bind(listener, (struct sockaddr*)&addr, sizeof addr) != 0 || listen(listener, 4096) != 0) return 3;
  printf("ready\n");
  fflush(stdout);
  int threads = argc > 2 ? atoi(argv[2]) : 16;
  for (int i = 1; i < threads; ++i) {
    pthread_t t;
    pthread_create(&t, NULL, serve, NULL);
  }
  serve(NULL);
  return 0;
}
