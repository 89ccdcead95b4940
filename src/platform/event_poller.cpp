#include "platform/event_poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace caskel {

EventPoller::EventPoller() {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (epoll_ >= 0 && wake_ >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wake_;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
  }
}

EventPoller::~EventPoller() {
  if (epoll_ >= 0) ::close(epoll_);
  if (wake_ >= 0) ::close(wake_);
}

bool EventPoller::add(int fd) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.fd = fd;
  return ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void EventPoller::remove(int fd) { ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr); }

std::vector<EventPoller::Event> EventPoller::wait(int timeoutMs) {
  epoll_event events[64];
  int n;
  do {
    n = ::epoll_wait(epoll_, events, 64, timeoutMs);
  } while (n < 0 && errno == EINTR);
  std::vector<Event> out;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.fd == wake_) {
      uint64_t count;
      while (::read(wake_, &count, sizeof count) > 0) {
      }
      out.push_back(Event{-1, false, false});
      continue;
    }
    out.push_back(Event{events[i].data.fd, (events[i].events & EPOLLIN) != 0,
                        (events[i].events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) != 0});
  }
  return out;
}

void EventPoller::wake() {
  uint64_t one = 1;
  ssize_t ignored = ::write(wake_, &one, sizeof one);
  (void)ignored;
}

}  // namespace caskel
