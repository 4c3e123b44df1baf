// The three points where the capture meets the driver, the log file and the
// system's thread start on a writer's or a capture thread's way: the detail
// request, the entry writer and the start of a thread. The programs link
// logd/hooks/direct.cpp, which makes the real calls and refuses no thread;
// the capture's tests link a stand-in of their own (tests/support). Nothing
// is chosen at run time in a program that is shipped.
#pragma once

#include <memory>

#include "adapter/logger_requests.h"
#include "logd/state_store.h"

namespace kvx::logd {

/// The writer's one detail request for its adapter.
std::unique_ptr<adapter::detail_reply> writer_detail_request(interface_entry* entry);
/// The writer's entry for one queued record of `entry`'s adapter.
[[nodiscard]] int writer_log_entry(const driver_event& event, const adapter::detail_reply* reply,
                                   interface_entry* entry);
/// Whether the system refuses to start the capture thread `which` ("notify",
/// "retry", "writer"): never, in the programs.
[[nodiscard]] bool thread_start_refused(const char* which);

}  // namespace kvx::logd
