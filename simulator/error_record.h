// The System-log record that kvxwdd writes for an adapter error: source
// "kvxwdd", an event id of facility 7, and as data an I/O error-log packet
// carrying the status word at data offset 16 and the event key, big-endian,
// at the record's key offset (unique_id_position, 40 by default).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvx::simulator {

inline constexpr const char* driver_source_name = "kvxwdd";
/// Data bytes of the packet: 40 bytes of fixed fields and 16 dump words.
inline constexpr std::size_t error_packet_size = 104;
inline constexpr std::int64_t default_key_offset = 40;
inline constexpr std::int64_t max_key_offset = 65532;

/// 0xC0070000 | error: severity error, facility 7, the error number as code.
std::uint32_t driver_event_id(int error);

/// error << 24 | slot << 16 | (location & 0xFFFF).
std::uint32_t event_key(int error, int slot, std::uint32_t location);

/// The record's data: an IO_ERROR_LOG_PACKET (MajorFunctionCode 0 ..., DumpDataSize
/// at 2, ErrorCode = event_id at 12, UniqueErrorValue = status at 16), 104 bytes
/// or key_offset + 4 if that is more, with the key big-endian at key_offset.
std::vector<std::uint8_t> error_packet_data(std::uint32_t event_id, std::uint32_t status, std::uint32_t key,
                                            std::size_t key_offset);

/// unique_id_position from HKLM\SOFTWARE\Velmora\kvxwdd\hbalogd when it is a
/// REG_DWORD, else 40.
std::int64_t configured_key_offset();

/// Appends the driver's record to the System log (time generated now, one
/// string: the device object name). The record number, or -1.
std::int64_t write_driver_record(std::uint32_t event_id, const std::string& device_object,
                                 const std::vector<std::uint8_t>& data);

}  // namespace kvx::simulator
