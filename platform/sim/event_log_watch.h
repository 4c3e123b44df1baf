// Private to the simulated event logs: the change notification of one open
// reader (NotifyChangeEventLog). A thread waits on inotify for a writer
// closing the log file (every append and clear opens, writes and closes it,
// so one close ends one whole change) and pulses the registered events, in
// the order they were registered, as NotifyChangeEventLog pulses its event:
// a change that comes while nobody waits on an event is lost to it.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sim/event_log_store.h"

namespace kvx::platform {
class event_handle;
}

namespace kvx::sim::detail {

class log_change_watch {
 public:
  /// Starts watching `path`; null when inotify or the thread cannot be had.
  static std::unique_ptr<log_change_watch> start(const std::filesystem::path& path);
  /// Stops the thread and joins it before returning.
  ~log_change_watch();
  log_change_watch(const log_change_watch&) = delete;
  log_change_watch& operator=(const log_change_watch&) = delete;

  /// Pulses `event` on every later change; the event must outlive the watch.
  void add(platform::event_handle& event);

 private:
  log_change_watch(unique_fd inotify, unique_fd stop);
  void run();

  unique_fd inotify_;
  unique_fd stop_;  // an eventfd; written once to end the thread
  std::mutex lock_;
  std::vector<platform::event_handle*> events_;  // guarded by lock_
  std::thread thread_;
};

}  // namespace kvx::sim::detail
