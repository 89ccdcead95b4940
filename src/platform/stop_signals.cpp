#include "platform/stop_signals.h"

#include <signal.h>

#include <thread>

namespace caskel {

namespace {

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void blockStopSignals() {
  sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

void onStopSignal(std::function<void()> onStop) {
  std::thread([onStop = std::move(onStop)] {
    sigset_t set = stopSignals();
    int sig = 0;
    sigwait(&set, &sig);
    onStop();
  }).detach();
}

}  // namespace caskel
