#pragma once

#include <cstdint>
#include <vector>

namespace caskel {

// An epoll set plus an eventfd that other threads use to wake the waiting thread.
class EventPoller {
 public:
  struct Event {
    int fd;
    bool readable;
    bool hangup;
  };
  EventPoller();
  ~EventPoller();
  EventPoller(const EventPoller&) = delete;
  EventPoller& operator=(const EventPoller&) = delete;

  bool valid() const { return epoll_ >= 0 && wake_ >= 0; }
  bool add(int fd);
  void remove(int fd);
  // Waits up to `timeoutMs` (-1: forever). A wake() shows up as an event with fd == -1.
  std::vector<Event> wait(int timeoutMs);
  void wake();

 private:
  int epoll_ = -1;
  int wake_ = -1;
};

}  // namespace caskel
