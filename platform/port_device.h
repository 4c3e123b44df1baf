// The port-device seam: CreateFileA on a SCSI port device ("\\.\scsiN:"),
// DeviceIoControl with IOCTL_SCSI_MINIPORT, QueryDosDeviceA, and the system's
// message texts (FormatMessageA). Only bytes cross it: packets are built and
// read by the adapter access code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kvx::platform {

inline constexpr std::uint32_t ioctl_scsi_miniport = 0x0004D008;

enum class share_mode {
  shared,    ///< FILE_SHARE_READ | FILE_SHARE_WRITE, flags 0
  exclusive  ///< share 0, FILE_ATTRIBUTE_NORMAL
};

/// An open port device; the destructor closes the handle.
class port_device {
 public:
  virtual ~port_device() = default;
  /// DeviceIoControl(code, buffer in and out, same size). Returns error_success
  /// or the code GetLastError gives at once (error_busy when the driver is busy).
  /// `returned` receives the byte count the call gave back.
  [[nodiscard]] virtual std::uint32_t io_control(std::uint32_t code, std::uint8_t* buffer, std::uint32_t size,
                                                 std::uint32_t& returned) = 0;
};

class port_transport {
 public:
  virtual ~port_transport() = default;
  /// CreateFileA(path, read|write, share per mode, OPEN_EXISTING). Returns
  /// error_success and fills `out`, or error_file_not_found when there is no such
  /// device, error_sharing_violation when the share modes clash.
  [[nodiscard]] virtual std::uint32_t open(const char* path, share_mode mode, std::unique_ptr<port_device>& out) = 0;
  /// QueryDosDeviceA(dos_name such as "scsi2:"): the first target string, or
  /// false with `error` set.
  [[nodiscard]] virtual bool query_dos_device(const char* dos_name, std::string& target, std::uint32_t& error) = 0;
};

/// The port devices of this host (or a test's replacement).
port_transport& host_ports();

/// FormatMessageA(FROM_SYSTEM | IGNORE_INSERTS, code, user's language): the
/// system's text for `code`, with its own line end. On failure false, with
/// `lookup_error` the error that the lookup itself left.
[[nodiscard]] bool system_message_text(std::uint32_t code, std::string& text, std::uint32_t& lookup_error);

}  // namespace kvx::platform
