// The control packets of kvxwdd: an SRB_IO_CONTROL header of 28 bytes and a
// payload, sent through IOCTL_SCSI_MINIPORT and overwritten in place by the
// driver's reply. Builders and readers are pure functions over byte spans;
// every read is bounded by the span, so a short or odd reply reads as zeros
// or an empty text, never past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kvx::adapter {

// Header (offsets from the start of the packet; all integers little-endian).
inline constexpr std::uint32_t header_length = 28;
inline constexpr std::size_t header_length_offset = 0;
inline constexpr std::size_t signature_offset = 4;
inline constexpr std::size_t signature_size = 8;
inline constexpr const char* packet_signature = "KVXDRV";  ///< then two zero bytes
inline constexpr std::size_t timeout_offset = 12;
inline constexpr std::uint32_t packet_timeout = 10000;  ///< seconds
inline constexpr std::size_t control_code_offset = 16;
inline constexpr std::size_t return_code_offset = 20;
inline constexpr std::size_t length_offset = 24;

// Control codes.
inline constexpr std::uint32_t CC_COMMAND = 0x9090E7FC;
inline constexpr std::uint32_t CC_ADAPTER_DATA = 0x9090E500;

// Sub-commands of CC_COMMAND (payload byte 0).
inline constexpr std::uint8_t PCI_LOCATION = 0x2B;
inline constexpr std::uint8_t ERRLOG = 0x2C;
inline constexpr std::uint8_t SLOT_RELEASE = 0x2D;
inline constexpr std::uint8_t HBAINFO = 0x2E;
inline constexpr std::uint8_t PkgType = 0x29;

// CC_COMMAND payload fields (offsets within the payload).
inline constexpr std::uint32_t command_payload_length = 160;
inline constexpr std::uint32_t errlog_payload_length = 16400;
inline constexpr std::size_t command_slot_offset = 8;       ///< SLOT_RELEASE slot index, u32
inline constexpr std::size_t command_location_offset = 8;   ///< PCI_LOCATION reply word, u32
inline constexpr std::size_t command_length_offset = 144;   ///< u32
inline constexpr std::size_t command_address_offset = 152;  ///< u64: the packet's own address

// ERRLOG reply (offsets within the payload).
inline constexpr int detail_slot_count = 16;
inline constexpr std::size_t detail_slot_size = 1024;
inline constexpr std::size_t detail_slots_offset = 16;

// HBAINFO reply: payload bytes 0..127.
inline constexpr std::size_t hbainfo_size = 128;

// PkgType reply (payload bytes).
inline constexpr std::size_t pkgtype_package_offset = 9;
inline constexpr std::size_t pkgtype_lsi_revision_offset = 10;
inline constexpr std::size_t pkgtype_ec_level_offset = 11;
inline constexpr std::uint16_t pci_vendor_id = 0x1F7B;

// CC_ADAPTER_DATA payload fields and data types.
inline constexpr int DATA_VERSIONS = 1;
inline constexpr int DATA_PORT_NAMES = 2;
inline constexpr int DATA_PARTS_NUMBER = 3;
inline constexpr std::size_t adapter_data_marker_offset = 2;  ///< byte 16
inline constexpr std::size_t adapter_data_length_offset = 116;
inline constexpr std::size_t adapter_data_address_offset = 120;
inline constexpr std::size_t adapter_data_area_offset = 128;

// Data areas of the three types (offsets within the data area).
inline constexpr std::uint32_t versions_length = 736;
inline constexpr std::size_t driver_version_offset = 328;
inline constexpr std::size_t firmware_version_offset = 584;
inline constexpr std::uint32_t port_names_length = 2296;
inline constexpr std::size_t node_name_offset = 8;
inline constexpr std::size_t port_name_offset = 16;
inline constexpr std::uint32_t parts_number_length = 11;

/// Payload length of a CC_COMMAND sub-command (16400 for ERRLOG, 160 for the
/// other four), 0 for an unknown one.
std::uint32_t command_payload_size(std::uint8_t sub_command);
/// Whole packet size of a CC_COMMAND sub-command, 0 for an unknown one.
std::uint32_t command_packet_size(std::uint8_t sub_command);
/// Data length of a CC_ADAPTER_DATA type (736, 2296, 11), 0 for any other.
std::uint32_t adapter_data_length(int type);
/// Whole packet size of a CC_ADAPTER_DATA type (156 + data length), 0 for any other.
std::uint32_t adapter_data_packet_size(int type);

/// Writes a CC_COMMAND packet into `packet`, which must be exactly
/// command_packet_size(sub_command) bytes; every byte not set is zeroed. The
/// address fields carry packet.data(). `slot` is used by SLOT_RELEASE only.
/// 0, or 1 (nothing written) for an unknown sub-command or a wrong size.
[[nodiscard]] int build_command_packet(std::span<std::uint8_t> packet, std::uint8_t sub_command,
                                       std::uint32_t slot = 0);
/// Writes a CC_ADAPTER_DATA packet of `type` into `packet` of exactly
/// adapter_data_packet_size(type) bytes. 0, or 1 (nothing written).
[[nodiscard]] int build_adapter_data_packet(std::span<std::uint8_t> packet, int type);

/// The payload of a packet (bytes from 28 on), empty when the packet is shorter.
std::span<const std::uint8_t> packet_payload(std::span<const std::uint8_t> packet);
/// The data area of a CC_ADAPTER_DATA packet: payload bytes from 128 on, at
/// most adapter_data_length(type) of them.
std::span<const std::uint8_t> adapter_data_area(std::span<const std::uint8_t> packet, int type);

/// The PCI location word of a PCI_LOCATION reply packet; 0, or -1 when the
/// packet is too short to hold it.
[[nodiscard]] int read_pci_location(std::span<const std::uint8_t> packet, std::uint32_t& location);
inline int pci_bus(std::uint32_t location) { return static_cast<int>((location >> 8) & 0xFF); }
inline int pci_device(std::uint32_t location) { return static_cast<int>((location >> 3) & 0x1F); }
inline int pci_function(std::uint32_t location) { return static_cast<int>(location & 7); }

/// The text in bytes [begin, end) of `bytes` up to its first zero byte; a
/// field with no zero byte ends at `end` (or at the end of `bytes`).
std::string read_text_field(std::span<const std::uint8_t> bytes, std::size_t begin, std::size_t end);
/// Driver and firmware version texts of a DATA_VERSIONS data area.
std::string driver_version_text(std::span<const std::uint8_t> versions);
std::string firmware_version_text(std::span<const std::uint8_t> versions);
/// World wide names of a DATA_PORT_NAMES data area (0 when it is too short).
std::uint64_t world_wide_node_name(std::span<const std::uint8_t> port_names);
std::uint64_t world_wide_port_name(std::span<const std::uint8_t> port_names);
/// "%08x %08x": the upper 32 bits, a blank, the lower 32 bits.
std::string format_world_wide_name(std::uint64_t name);

/// Slot bitmap of an ERRLOG reply payload: slot k is bit 7 - k % 8 of byte k / 8.
/// False for a slot outside 0..15 or a payload too short for the bitmap.
bool slot_occupied(std::span<const std::uint8_t> detail, int slot);
/// Sets or clears slot k's bit in a bitmap of at least two bytes (no effect otherwise).
void set_slot_occupied(std::span<std::uint8_t> detail, int slot, bool occupied);
/// Slot k's detail data in an ERRLOG reply payload: up to 1024 bytes, fewer
/// (or none) when the payload is short.
std::span<const std::uint8_t> detail_slot_data(std::span<const std::uint8_t> detail, int slot);

/// PCI device id for a PkgType package type: 0x6A20 + type for 0..4, else 0xFFFF.
std::uint16_t package_device_id(std::uint8_t package_type);

}  // namespace kvx::adapter
