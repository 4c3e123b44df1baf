#include "platform/sim/event_log_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "platform/sim/sync_event.h"
#include "platform/sync.h"

namespace kvx::sim::detail {

std::unique_ptr<log_change_watch> log_change_watch::start(const std::filesystem::path& path) {
  unique_fd inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify.valid()) return nullptr;
  if (::inotify_add_watch(inotify.get(), path.c_str(), IN_CLOSE_WRITE) < 0) return nullptr;
  unique_fd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stop.valid()) return nullptr;
  std::unique_ptr<log_change_watch> watch(new log_change_watch(std::move(inotify), std::move(stop)));
  try {
    watch->thread_ = std::thread(&log_change_watch::run, watch.get());
  } catch (const std::system_error&) {
    return nullptr;
  }
  return watch;
}

log_change_watch::log_change_watch(unique_fd inotify, unique_fd stop)
    : inotify_(std::move(inotify)), stop_(std::move(stop)) {}

log_change_watch::~log_change_watch() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    // An eventfd write of 1 cannot fail short of a counter overflow, which a
    // single write never reaches.
    while (::write(stop_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
}

void log_change_watch::add(platform::event_handle& event) {
  std::lock_guard<std::mutex> guard(lock_);
  if (std::find(events_.begin(), events_.end(), &event) == events_.end()) events_.push_back(&event);
}

void log_change_watch::run() {
  char buffer[4096];
  for (;;) {
    pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    const int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if ((fds[1].revents & POLLIN) != 0) return;
    if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    // Drain everything queued and pulse once: a burst of writes is one
    // wake-up at most.
    bool changed = false;
    for (;;) {
      const ssize_t got = ::read(inotify_.get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
        inotify_event ev;
        std::memcpy(&ev, buffer + at, sizeof ev);
        if ((ev.mask & (IN_CLOSE_WRITE | IN_Q_OVERFLOW)) != 0) changed = true;
        at += static_cast<ssize_t>(sizeof ev + ev.len);
      }
    }
    if (changed) {
      std::lock_guard<std::mutex> guard(lock_);
      for (platform::event_handle* e : events_) pulse_event(*e);
    }
  }
}

}  // namespace kvx::sim::detail
