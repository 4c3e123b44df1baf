#include "adapter/control_packet.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "adapter/byte_order.h"

namespace kvx::adapter {
namespace {

std::uint64_t address_of(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p));
}

void write_header(std::span<std::uint8_t> packet, std::uint32_t control_code, std::uint32_t length) {
  put_u32_le(packet, header_length_offset, header_length);
  std::memcpy(packet.data() + signature_offset, packet_signature, std::strlen(packet_signature));
  put_u32_le(packet, timeout_offset, packet_timeout);
  put_u32_le(packet, control_code_offset, control_code);
  put_u32_le(packet, length_offset, length);
}

}  // namespace

std::uint32_t command_payload_size(std::uint8_t sub_command) {
  switch (sub_command) {
    case ERRLOG:
      return errlog_payload_length;
    case SLOT_RELEASE:
    case PCI_LOCATION:
    case HBAINFO:
    case PkgType:
      return command_payload_length;
    default:
      return 0;
  }
}

std::uint32_t command_packet_size(std::uint8_t sub_command) {
  const std::uint32_t payload = command_payload_size(sub_command);
  return payload == 0 ? 0 : header_length + payload;
}

std::uint32_t adapter_data_length(int type) {
  switch (type) {
    case DATA_VERSIONS:
      return versions_length;
    case DATA_PORT_NAMES:
      return port_names_length;
    case DATA_PARTS_NUMBER:
      return parts_number_length;
    default:
      return 0;
  }
}

std::uint32_t adapter_data_packet_size(int type) {
  const std::uint32_t data = adapter_data_length(type);
  return data == 0 ? 0 : header_length + static_cast<std::uint32_t>(adapter_data_area_offset) + data;
}

int build_command_packet(std::span<std::uint8_t> packet, std::uint8_t sub_command, std::uint32_t slot) {
  const std::uint32_t size = command_packet_size(sub_command);
  if (size == 0 || packet.size() != size) return 1;
  std::fill(packet.begin(), packet.end(), std::uint8_t{0});
  std::span<std::uint8_t> payload = packet.subspan(header_length);
  payload[0] = sub_command;
  switch (sub_command) {
    case ERRLOG:
      put_u32_le(payload, command_length_offset, errlog_payload_length);
      put_u64_le(payload, command_address_offset, address_of(packet.data()));
      break;
    case SLOT_RELEASE:
      put_u32_le(payload, command_slot_offset, slot);
      put_u32_le(payload, command_length_offset, command_payload_length);
      put_u64_le(payload, command_address_offset, address_of(packet.data()));
      break;
    case HBAINFO:
      put_u32_le(payload, command_length_offset, command_payload_length);
      break;
    default:  // PCI_LOCATION and PkgType carry only the sub-command
      break;
  }
  write_header(packet, CC_COMMAND, command_payload_size(sub_command));
  return 0;
}

int build_adapter_data_packet(std::span<std::uint8_t> packet, int type) {
  const std::uint32_t size = adapter_data_packet_size(type);
  if (size == 0 || packet.size() != size) return 1;
  std::fill(packet.begin(), packet.end(), std::uint8_t{0});
  std::span<std::uint8_t> payload = packet.subspan(header_length);
  const std::uint32_t data_length = adapter_data_length(type);
  payload[0] = static_cast<std::uint8_t>(type);
  payload[adapter_data_marker_offset] = 0x10;
  put_u32_le(payload, adapter_data_length_offset, data_length);
  put_u64_le(payload, adapter_data_address_offset, address_of(payload.data() + adapter_data_area_offset));
  if (type == DATA_PORT_NAMES) payload[adapter_data_area_offset] = 1;
  write_header(packet, CC_ADAPTER_DATA, size - header_length);
  return 0;
}

std::span<const std::uint8_t> packet_payload(std::span<const std::uint8_t> packet) {
  if (packet.size() <= header_length) return {};
  return packet.subspan(header_length);
}

std::span<const std::uint8_t> adapter_data_area(std::span<const std::uint8_t> packet, int type) {
  std::span<const std::uint8_t> payload = packet_payload(packet);
  if (payload.size() <= adapter_data_area_offset) return {};
  std::span<const std::uint8_t> area = payload.subspan(adapter_data_area_offset);
  return area.first(std::min<std::size_t>(area.size(), adapter_data_length(type)));
}

int read_pci_location(std::span<const std::uint8_t> packet, std::uint32_t& location) {
  std::span<const std::uint8_t> payload = packet_payload(packet);
  if (payload.size() < command_location_offset + 4) return -1;
  location = get_u32_le(payload, command_location_offset);
  return 0;
}

std::string read_text_field(std::span<const std::uint8_t> bytes, std::size_t begin, std::size_t end) {
  end = std::min(end, bytes.size());
  if (begin >= end) return {};
  const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(begin);
  const auto last = bytes.begin() + static_cast<std::ptrdiff_t>(end);
  return std::string(first, std::find(first, last, std::uint8_t{0}));
}

std::string driver_version_text(std::span<const std::uint8_t> versions) {
  return read_text_field(versions, driver_version_offset, firmware_version_offset);
}

std::string firmware_version_text(std::span<const std::uint8_t> versions) {
  return read_text_field(versions, firmware_version_offset, versions_length);
}

std::uint64_t world_wide_node_name(std::span<const std::uint8_t> port_names) {
  return get_u64_le(port_names, node_name_offset);
}

std::uint64_t world_wide_port_name(std::span<const std::uint8_t> port_names) {
  return get_u64_le(port_names, port_name_offset);
}

std::string format_world_wide_name(std::uint64_t name) {
  char text[24];
  std::snprintf(text, sizeof text, "%08x %08x", static_cast<unsigned>(name >> 32),
                static_cast<unsigned>(name & 0xFFFFFFFFu));
  return text;
}

bool slot_occupied(std::span<const std::uint8_t> detail, int slot) {
  if (slot < 0 || slot >= detail_slot_count || detail.size() < 2) return false;
  return (detail[static_cast<std::size_t>(slot / 8)] & (0x80u >> (slot % 8))) != 0;
}

void set_slot_occupied(std::span<std::uint8_t> detail, int slot, bool occupied) {
  if (slot < 0 || slot >= detail_slot_count || detail.size() < 2) return;
  const auto bit = static_cast<std::uint8_t>(0x80u >> (slot % 8));
  std::uint8_t& byte = detail[static_cast<std::size_t>(slot / 8)];
  byte = occupied ? static_cast<std::uint8_t>(byte | bit) : static_cast<std::uint8_t>(byte & ~bit);
}

std::span<const std::uint8_t> detail_slot_data(std::span<const std::uint8_t> detail, int slot) {
  if (slot < 0 || slot >= detail_slot_count) return {};
  const std::size_t begin = detail_slots_offset + detail_slot_size * static_cast<std::size_t>(slot);
  if (begin >= detail.size()) return {};
  return detail.subspan(begin, std::min(detail_slot_size, detail.size() - begin));
}

std::uint16_t package_device_id(std::uint8_t package_type) {
  return package_type <= 4 ? static_cast<std::uint16_t>(0x6A20 + package_type) : std::uint16_t{0xFFFF};
}

}  // namespace kvx::adapter
