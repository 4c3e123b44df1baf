// PLACEHOLDER until the adapter access module lands: no port is an adapter.
#include "adapter/port_probe.h"

namespace kvx::adapter {

int probe_scsi_port(int, char*, name_form) { return -1; }

}  // namespace kvx::adapter
