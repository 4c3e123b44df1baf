// kvxls's requests to the driver: each opens the port device shared, makes
// one exchange (never retried) and closes it again; 0 on success, -1 on
// failure. Failures are reported on the standard error stream as the table
// of each operation says, through print_system_error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>

namespace kvx::adapter {

/// A failed request, kept instead of reported when the caller gives one
/// (kvxls -json): the request, the call that failed ("CreateFile" for the
/// open, "DeviceIoControl" for the exchange, "reply" for an answer that could
/// not be read), and the system's error code and text.
struct tool_failure {
  std::string
      request;  ///< "PCI_LOCATION", "DATA_VERSIONS", "DATA_PORT_NAMES", "DATA_PARTS_NUMBER", "HBAINFO", "PkgType"
  std::string call;
  std::string device;          ///< the device path the open named
  std::uint32_t returned = 0;  ///< the byte count the failed exchange gave back
  std::uint32_t code = 0;
  std::optional<std::string> text;  ///< the system's text, without its line end; none when it has none
};

/// `path` in every operation is the device form without the colon ("\\.\scsiN").
/// `failure`, when given, receives a failure instead of the report on the
/// standard error stream (also for the failures the table reports nowhere).

/// Opens and closes the device; 0, or -1 (nothing reported) when it does not open.
[[nodiscard]] int tool_port_present(const char* path);
/// PCI_LOCATION: the word at payload offset 8 into `location`.
[[nodiscard]] int tool_pci_location(const char* path, std::uint32_t& location, tool_failure* failure = nullptr);
/// CC_ADAPTER_DATA of `type` 1, 2 or 3: the whole data area into `data`, which
/// must hold adapter_data_length(type) bytes (-1, nothing sent, when it does not).
[[nodiscard]] int tool_adapter_data(const char* path, int type, std::span<std::uint8_t> data,
                                    tool_failure* failure = nullptr);
/// HBAINFO: payload bytes 0..127 into `info` (at least 128 bytes).
[[nodiscard]] int tool_hbainfo(const char* path, std::span<std::uint8_t> info, tool_failure* failure = nullptr);
/// PkgType: vendor id 0x1F7B, the device id of the package type, LSI revision, EC level.
[[nodiscard]] int tool_pkgtype(const char* path, std::uint16_t& vendor_id, std::uint16_t& device_id,
                               std::uint8_t& lsi_revision, std::uint8_t& ec_level, tool_failure* failure = nullptr);

/// "%s: %s" with `text` and the system's text for `code` (which ends in its
/// own line end), or "%s: Error %ld.\n" with the error the failed look-up
/// left, on `stream` (standard error unless a test gives another).
void print_system_error(const char* text, std::uint32_t code, std::FILE* stream = stderr);

}  // namespace kvx::adapter
