// The driver simulator's configuration: one [adapter] section per simulated
// adapter, written by hand (the format is described in docs/kvxsim.md).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvx::simulator {

/// The requests an adapter can be told to refuse (key `fail`).
enum class request_kind { pci_location, errlog, slot_release, hbainfo, pkgtype, versions, port_names, parts_number };
inline constexpr int request_kind_count = 8;

struct refused_request {
  request_kind kind;
  std::uint32_t error;  ///< the Windows error the exchange fails with
};

struct adapter_config {
  int port = -1;
  std::string driver = "kvxwdd";  ///< the port map's "Driver" value
  std::uint32_t pci_location = 0;
  std::string driver_version = "2.1.4";
  std::string firmware_version = "10.02";
  std::uint64_t wwnn = 0;
  std::uint64_t wwpn = 0;
  std::uint8_t connection_type = 2;
  std::uint8_t link_speed = 4;
  std::uint8_t package_type = 1;
  std::uint8_t lsi_revision = 0;
  std::uint8_t ec_level = 'B';                          ///< a character, or 0: not reported
  std::optional<std::string> parts_number = "7RTM254";  ///< up to 11 characters; none: DATA_PARTS_NUMBER refused
  std::string device_object;                            ///< what QueryDosDeviceA gives for "scsiN:"
  std::vector<refused_request> refused;                 ///< later entries of one kind win
};

/// The error the adapter refuses `kind` with, or 0 when it answers it.
std::uint32_t refusal_error(const adapter_config& adapter, request_kind kind);

/// Parses a configuration text. 0 and `out` filled (ports unique, in the
/// order of the text), or 1 with `error` naming the line ("line 7: ...").
[[nodiscard]] int parse_config(const std::string& text, std::vector<adapter_config>& out, std::string& error);
/// Reads and parses a file; the error names the file and line.
[[nodiscard]] int load_config(const std::string& path, std::vector<adapter_config>& out, std::string& error);

/// A number as a person writes it: decimal, or hexadecimal after 0x; false
/// for anything else or a value above `max`.
[[nodiscard]] bool parse_number(const std::string& text, std::uint64_t max, std::uint64_t& out);

}  // namespace kvx::simulator
