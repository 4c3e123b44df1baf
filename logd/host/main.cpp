// hbalogd's program entry: registers, unregisters, or runs the event capture
// as the service or as a plain process (see service_module.h).
//
// The simulated-host build adds its test settings (test_settings.h); the
// Windows build reads none.
#include "logd/host/service_module.h"
#include "logd/host/test_settings.h"
#include "logd/state_store.h"
#include "logd/watcher.h"
#include "platform/dialog.h"
#include "platform/event_log.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service.h"

int main(int argc, char** argv) {
  kvx::logd::apply_test_settings();
  const std::string command_line = kvx::platform::process_command_line(argc, argv);
  kvx::logd::CServiceModule module({kvx::platform::backend_services(), kvx::platform::host_registry(),
                                    kvx::platform::host_event_logs(), kvx::platform::backend_dialogs()},
                                   {kvx::logd::worker_thread, kvx::logd::stop_watch});
  module.init(kvx::platform::load_program_string(kvx::logd::service_name_resource, "hbalogd"),
              kvx::platform::program_path());
  return module.program_entry(command_line);
}
