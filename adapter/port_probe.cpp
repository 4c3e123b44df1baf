#include "adapter/port_probe.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/port_device.h"
#include "platform/registry.h"
#include "platform/win_codes.h"

namespace kvx::adapter {
namespace {

constexpr std::size_t port_key_size = 64;
constexpr std::uint32_t driver_value_size = 16;
constexpr std::size_t dos_device_buffer = 64;
// "kvxwdd" and the zero byte that must follow it.
constexpr char driver_name[] = "kvxwdd";

}  // namespace

int probe_scsi_port(int port, char* name, name_form form) {
  if (port < 0 || port > max_scsi_port || name == nullptr) return -1;
  char key_text[port_key_size] = {};
  std::snprintf(key_text, sizeof key_text, "HARDWARE\\DEVICEMAP\\SCSI\\SCSI PORT %d", port);

  platform::unique_reg_key key;
  if (platform::host_registry().open_key(platform::hive_root::local_machine, key_text, win::key_query_value, key) !=
      win::error_success) {
    return -1;
  }
  std::uint8_t driver[driver_value_size] = {};
  std::uint32_t size = driver_value_size;
  if (key->query_value("Driver", nullptr, driver, &size) != win::error_success) return -1;
  if (std::memcmp(driver, driver_name, sizeof driver_name) != 0) return -1;

  std::memset(name, 0, port_name_size);
  if (form == name_form::device) {
    std::snprintf(name, port_name_size, "\\\\.\\scsi%d", port);
  } else {
    std::snprintf(name, port_name_size, "scsi%d", port);
  }
  return 0;
}

int query_device_object_name(const char* short_name, std::string& object_name) {
  if (short_name == nullptr) return -1;
  const std::string dos_name = std::string(short_name) + ":";
  std::string target;
  std::uint32_t error = 0;
  if (!platform::host_ports().query_dos_device(dos_name.c_str(), target, error)) return -1;
  // The system writes the name and two zero bytes (the list's end); a name
  // that does not fit the 64-character buffer fails as the system would.
  if (target.size() + 2 > dos_device_buffer) return -1;
  object_name = target;
  return 0;
}

}  // namespace kvx::adapter
