#include "adapter/port_access.h"

#include <new>

#include "platform/win_codes.h"

namespace kvx::adapter {

std::string device_path(const std::string& name) { return name + ":"; }

port_handle open_port_device(const char* path, platform::share_mode mode, std::uint32_t& error) {
  port_handle handle;
  error = platform::host_ports().open(path, mode, handle);
  if (error != win::error_success) handle.reset();
  return handle;
}

int exchange_packet(platform::port_device& handle, std::span<std::uint8_t> packet, std::uint32_t& error,
                    std::uint32_t& returned) {
  returned = 0;
  error = handle.io_control(platform::ioctl_scsi_miniport, packet.data(), static_cast<std::uint32_t>(packet.size()),
                            returned);
  return error == win::error_success ? 0 : 1;
}

bool allocate_packet(packet_bytes& packet, std::size_t size) {
  try {
    packet.assign(size, 0);
    return true;
  } catch (const std::bad_alloc&) {
    packet_bytes().swap(packet);
    return false;
  }
}

}  // namespace kvx::adapter
