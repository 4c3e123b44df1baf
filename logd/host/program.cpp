#include "logd/host/program.h"

#include "logd/capture/capture_life.h"
#include "logd/host/service_module.h"
#include "platform/dialog.h"
#include "platform/event_log.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service.h"

namespace kvx::logd {

int run_hbalogd(int argc, char** argv) {
  const std::string command_line = platform::process_command_line(argc, argv);
  CServiceModule module({platform::backend_services(), platform::host_registry(), platform::host_event_logs(),
                         platform::backend_dialogs()},
                        {worker_thread, [](std::int32_t bound_ms) { stop_watch_within(bound_ms); }});
  module.init(platform::load_program_string(service_name_resource, "hbalogd"), platform::program_path());
  return module.program_entry(command_line);
}

}  // namespace kvx::logd
