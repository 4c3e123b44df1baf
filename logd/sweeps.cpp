// PLACEHOLDER until the log output module lands: the sweeps find nothing.
#include "logd/sweeps.h"

namespace kvx::logd {

void startup_scan() {}
void retry_thread() {
  while (sleep_unless_stopping(get_retry_cycle_ms())) {
  }
}
void drain_adapter(interface_entry*) {}

}  // namespace kvx::logd
