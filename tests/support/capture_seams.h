// The capture's hooks as its tests (and the benchmarks) link them: each may
// be replaced by a function that records or refuses; an empty member means
// the real operation. Installed before the capture threads start and cleared
// after they end.
#pragma once

#include <functional>
#include <memory>

#include "logd/capture/capture_hooks.h"
#include "logd/capture/service_requests.h"
#include "logd/state_store.h"

namespace kvx::logd {

struct capture_seams {
  std::function<std::unique_ptr<adapter::detail_reply>(interface_entry*)> request_detail_data;
  std::function<int(const driver_event&, const adapter::detail_reply*)> write_log_entry;
  /// Asked before each capture thread is created ("notify", "retry",
  /// "writer"); true makes the creation fail as if the system refused it.
  std::function<bool(const char* which)> thread_start_refused;
  /// Told of each step the capture takes (capture_hooks.h), on the thread
  /// that takes it.
  std::function<void(capture_step)> step_taken;
};
capture_seams get_capture_seams();
void set_capture_seams(capture_seams seams);

}  // namespace kvx::logd
