// The three points where the capture meets the driver, the log file and the
// system's thread start on a writer's or a capture thread's way: the detail
// request, the entry writer and the start of a thread; and the steps of an
// entry's way to the disk, which the tests watch (and kill the service at).
// The programs link logd/capture/direct_hooks.cpp, which makes the real calls,
// refuses no thread and does nothing at a step; the capture's tests link a
// stand-in of their own (tests/support). Nothing is chosen at run time in a
// program that is shipped.
#pragma once

#include <memory>

#include "adapter/retried_requests.h"
#include "logd/state_store.h"

namespace kvx::logd {

/// The writer's one detail request for its adapter: the reply, which the
/// caller owns, or null when no detail data could be had.
std::unique_ptr<adapter::detail_reply> writer_detail_request(interface_entry* entry);
/// The writer's entry for one queued record of `entry`'s adapter, with the
/// detail reply (null when none came). 0 written, 1 not written.
[[nodiscard]] int writer_log_entry(const driver_event& event, const adapter::detail_reply* reply,
                                   interface_entry* entry);
/// Whether the system refuses to start the capture thread `which` ("notify",
/// "retry", "writer"): never, in the programs.
[[nodiscard]] bool thread_start_refused(const char* which);

/// The steps of an entry's way into its file, in their order, and a pause of
/// a request that the driver answered busy.
enum class capture_step {
  wrap_started,   ///< the old end marker blanked; the header not yet sent back to offset 16
  entry_written,  ///< the entry with its end marker in the file; the header not yet stored
  header_stored,  ///< the header counts the entry; not yet flushed
  file_flushed,   ///< the entry and its header on stable storage; the slot not yet released
  slot_released,  ///< the driver has answered the slot's release (either way)
  busy_pause,     ///< a request is about to pause after a busy answer
};
/// Called as the capture takes `step`: nothing, in the programs.
void capture_step_taken(capture_step step);

}  // namespace kvx::logd
