// Opening a SCSI port device and exchanging one control packet with it,
// through the host's port transport (platform::host_ports()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/port_device.h"

namespace kvx::adapter {

using port_handle = std::unique_ptr<platform::port_device>;  ///< closes the device when it goes
using packet_bytes = std::vector<std::uint8_t>;

/// The device path of a port name: the name followed by ":".
std::string device_path(const std::string& name);

/// CreateFileA(path, read|write, share per `mode`, OPEN_EXISTING). Null on
/// failure, with `error` the system error code the open left.
port_handle open_port_device(const char* path, platform::share_mode mode, std::uint32_t& error);

/// One DeviceIoControl(IOCTL_SCSI_MINIPORT) with `packet` as input and output
/// buffer. 0 when the call succeeded, 1 when it failed; either way `error` is
/// the system error code read right after the call and `returned` the byte
/// count it gave back. On failure the packet is as it was sent, so it can be
/// sent again after a busy answer.
[[nodiscard]] int exchange_packet(platform::port_device& handle, std::span<std::uint8_t> packet, std::uint32_t& error,
                                  std::uint32_t& returned);

/// Gives `packet` `size` zero bytes. False, with `packet` empty, when memory is short.
using packet_allocator = bool (*)(packet_bytes& packet, std::size_t size);
[[nodiscard]] bool allocate_packet(packet_bytes& packet, std::size_t size);

}  // namespace kvx::adapter
