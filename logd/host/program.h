// hbalogd's program: registers, unregisters, or runs the event capture as the
// service or as a plain process (see service_module.h).
#pragma once

namespace kvx::logd {

/// The whole program on its command line. Returns the exit status.
int run_hbalogd(int argc, char** argv);

}  // namespace kvx::logd
