// The capture's hooks for the tests: the installed seam when there is one,
// the real operation otherwise.
#include "tests/support/capture_seams.h"

#include <mutex>
#include <utility>

#include "logd/capture/capture_hooks.h"
#include "logd/capture/service_requests.h"
#include "logd/output/log_entry.h"

namespace kvx::logd {
namespace {

std::mutex seams_lock;

capture_seams& installed() {
  static capture_seams seams;
  return seams;
}

}  // namespace

capture_seams get_capture_seams() {
  std::lock_guard<std::mutex> guard(seams_lock);
  return installed();
}

void set_capture_seams(capture_seams seams) {
  capture_seams old;
  {
    std::lock_guard<std::mutex> guard(seams_lock);
    old = std::exchange(installed(), std::move(seams));
  }
}

std::unique_ptr<adapter::detail_reply> writer_detail_request(interface_entry* entry) {
  const capture_seams seams = get_capture_seams();
  return seams.request_detail_data ? seams.request_detail_data(entry) : request_detail_data(entry);
}

int writer_log_entry(const driver_event& event, const adapter::detail_reply* reply, interface_entry* entry) {
  const capture_seams seams = get_capture_seams();
  return seams.write_log_entry ? seams.write_log_entry(event, reply) : write_log_entry(event, reply, entry);
}

bool thread_start_refused(const char* which) {
  const capture_seams seams = get_capture_seams();
  return seams.thread_start_refused && seams.thread_start_refused(which);
}

void capture_step_taken(capture_step step) {
  const capture_seams seams = get_capture_seams();
  if (seams.step_taken) seams.step_taken(step);
}

}  // namespace kvx::logd
