// The simulated host lives in one directory, the host root: its registry
// hives, event logs, port devices and the files named by Windows paths.
#pragma once

#include <filesystem>

namespace kvx::sim {

/// $KVX_HOST_ROOT when set and not empty, else "$HOME/.kvx-host" (or
/// "/tmp/kvx-host" without HOME). Read at each call, so tests may change it.
std::filesystem::path host_root();

/// host_root()/name, created (with parents) when missing.
std::filesystem::path host_dir(const char* name);

}  // namespace kvx::sim
