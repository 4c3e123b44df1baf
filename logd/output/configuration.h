// hbalogd's nine settings, read once from
// HKEY_LOCAL_MACHINE\SOFTWARE\Velmora\kvxwdd\hbalogd into the shared store.
#pragma once

#include <cstddef>

namespace kvx::logd {

inline constexpr const char* configuration_key = "SOFTWARE\\Velmora\\kvxwdd\\hbalogd";
/// The log folder's value and its default, which kvxlog reads the same way.
inline constexpr const char* log_folder_value = "error_log_file_path";
inline constexpr const char* default_log_folder = "C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\log";

/// Paths to the list and log files are built in buffers of this many
/// characters (at most one less kept); a configured directory whose file
/// paths would not fit is refused.
inline constexpr std::size_t path_buffer_size = 256;

/// Stores every default, then overrides each one the registry supplies with a
/// value of the right type; every problem is one warning through report_event
/// and costs only that setting. Returns 0 always.
int read_configuration();

}  // namespace kvx::logd
