// Finding the adapters of kvxwdd among SCSI ports 0 to 127 through the SCSI
// port map in the registry.
#pragma once

#include <string>

namespace kvx::adapter {

inline constexpr int max_scsi_port = 127;
inline constexpr int port_name_size = 16;

enum class name_form {
  device,  ///< "\\\\.\\scsiN" (hbalogd's symbolic_link_name)
  short_   ///< "scsiN" (kvxls)
};

/// 0 and `name` (a zeroed buffer of port_name_size bytes) filled in the given
/// form when port `port`'s "Driver" value is exactly "kvxwdd"; -1 otherwise,
/// `name` untouched.
[[nodiscard]] int probe_scsi_port(int port, char* name, name_form form);

/// QueryDosDeviceA(short_name + ":") with a 64-character buffer: 0 and the
/// first target string (the device object name, e.g. "\Device\KvxPort2") in
/// `object_name`, or -1 when the look-up fails or the name does not fit.
[[nodiscard]] int query_device_object_name(const char* short_name, std::string& object_name);

}  // namespace kvx::adapter
