#include "logd/host/program.h"

#include "logd/host/service_module.h"
#include "logd/state_store.h"
#include "logd/watcher.h"
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
                        {worker_thread, stop_watch});
  module.init(platform::load_program_string(service_name_resource, "hbalogd"), platform::program_path());
  return module.program_entry(command_line);
}

}  // namespace kvx::logd
