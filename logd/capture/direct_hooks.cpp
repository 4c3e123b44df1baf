// The capture's hooks in the programs: the real operations.
#include "logd/capture/capture_hooks.h"
#include "logd/capture/service_requests.h"
#include "logd/output/log_entry.h"

namespace kvx::logd {

std::unique_ptr<adapter::detail_reply> writer_detail_request(interface_entry* entry) {
  return request_detail_data(entry);
}

int writer_log_entry(const driver_event& event, const adapter::detail_reply* reply, interface_entry* entry) {
  return write_log_entry(event, reply, entry);
}

bool thread_start_refused(const char*) { return false; }

void capture_step_taken(capture_step) {}

}  // namespace kvx::logd
