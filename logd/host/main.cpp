// hbalogd's program entry: registers, unregisters, or runs the event capture
// as the service or as a plain process (see service_module.h).
//
// Test-only setting: KVX_TEST_RETRY_CYCLE_MS, a positive number of
// milliseconds, shortens the capture's retry cycle (60000) so that tests need
// not wait minutes for it. Nothing the suite installs sets it; it is read here
// only, once, before anything else runs.
#include <cerrno>
#include <cstdlib>

#include "logd/host/service_module.h"
#include "logd/state_store.h"
#include "logd/watcher.h"
#include "platform/dialog.h"
#include "platform/event_log.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service.h"

namespace {

void apply_test_settings() {
  const char* cycle = std::getenv("KVX_TEST_RETRY_CYCLE_MS");
  if (cycle == nullptr || *cycle == '\0') return;
  char* end = nullptr;
  errno = 0;
  const long ms = std::strtol(cycle, &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || ms <= 0 || ms > 0x7FFFFFFFL) return;
  kvx::logd::set_retry_cycle_ms(static_cast<std::int32_t>(ms));
}

}  // namespace

int main(int argc, char** argv) {
  apply_test_settings();
  const std::string command_line = kvx::platform::process_command_line(argc, argv);
  kvx::logd::CServiceModule module({kvx::platform::backend_services(), kvx::platform::host_registry(),
                                    kvx::platform::host_event_logs(), kvx::platform::backend_dialogs()},
                                   {kvx::logd::worker_thread, kvx::logd::stop_watch});
  module.init(kvx::platform::load_program_string(kvx::logd::service_name_resource, "hbalogd"),
              kvx::platform::program_path());
  return module.program_entry(command_line);
}
