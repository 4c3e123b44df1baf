// Waitable events (CreateEventA, SetEvent, WaitForSingleObject). Threads and
// plain locks come from the standard library.
#pragma once

#include <cstdint>
#include <memory>

namespace kvx::platform {

/// An auto-reset event: one set() releases one wait(), signals collapse while
/// nobody waits.
class event_handle {
 public:
  virtual ~event_handle() = default;
  /// SetEvent.
  virtual void set() = 0;
  /// WaitForSingleObject: win::wait_object_0 when signalled, win::wait_timeout
  /// after `timeout_ms` (win::infinite waits for ever), win::wait_failed on error.
  [[nodiscard]] virtual std::uint32_t wait(std::uint32_t timeout_ms) = 0;
};

/// CreateEventA(no security, auto-reset, not signalled, name). Null on failure.
std::unique_ptr<event_handle> create_event(const char* name);

}  // namespace kvx::platform
