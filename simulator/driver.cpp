#include "simulator/driver.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "adapter/byte_order.h"
#include "platform/port_device.h"
#include "platform/win_codes.h"

namespace kvx::simulator {
namespace {

using namespace kvx::adapter;

constexpr answer refused(std::uint32_t error) { return answer{error, 0}; }

bool header_is_valid(std::span<const std::uint8_t> buffer) {
  if (buffer.size() < header_length) return false;
  if (get_u32_le(buffer, header_length_offset) != header_length) return false;
  std::uint8_t expected[signature_size] = {};
  std::memcpy(expected, packet_signature, std::strlen(packet_signature));
  if (std::memcmp(buffer.data() + signature_offset, expected, signature_size) != 0) return false;
  return get_u32_le(buffer, length_offset) == buffer.size() - header_length;
}

void write_text(std::span<std::uint8_t> area, std::size_t offset, const std::string& text) {
  std::copy(text.begin(), text.end(), area.begin() + static_cast<std::ptrdiff_t>(offset));
}

answer answer_command(adapter_state& adapter, std::span<std::uint8_t> packet) {
  std::span<std::uint8_t> payload = packet.subspan(header_length);
  const std::uint8_t sub_command = payload[0];
  if (command_packet_size(sub_command) != packet.size()) return refused(win::error_invalid_parameter);
  const adapter_config& c = adapter.config;
  switch (sub_command) {
    case PCI_LOCATION:
      if (const std::uint32_t e = refusal_error(c, request_kind::pci_location)) return refused(e);
      put_u32_le(payload, command_location_offset, c.pci_location);
      break;
    case HBAINFO:
      if (const std::uint32_t e = refusal_error(c, request_kind::hbainfo)) return refused(e);
      payload[0] = c.connection_type;
      payload[1] = c.link_speed;
      break;
    case PkgType:
      if (const std::uint32_t e = refusal_error(c, request_kind::pkgtype)) return refused(e);
      payload[pkgtype_package_offset] = c.package_type;
      payload[pkgtype_lsi_revision_offset] = c.lsi_revision;
      payload[pkgtype_ec_level_offset] = c.ec_level;
      break;
    case ERRLOG: {
      if (const std::uint32_t e = refusal_error(c, request_kind::errlog)) return refused(e);
      std::fill(payload.begin(), payload.end(), std::uint8_t{0});
      for (int k = 0; k < detail_slot_count; ++k) {
        if ((adapter.occupied & (1u << k)) == 0) continue;
        set_slot_occupied(payload, k, true);
        const auto& slot = adapter.slots[static_cast<std::size_t>(k)];
        std::copy(slot.begin(), slot.end(),
                  payload.begin() + static_cast<std::ptrdiff_t>(detail_slots_offset + detail_slot_size * k));
      }
      break;
    }
    case SLOT_RELEASE: {
      if (const std::uint32_t e = refusal_error(c, request_kind::slot_release)) return refused(e);
      const std::uint32_t slot = get_u32_le(payload, command_slot_offset);
      if (slot >= static_cast<std::uint32_t>(detail_slot_count)) return refused(win::error_invalid_parameter);
      if ((adapter.occupied & (1u << slot)) != 0) {
        released_slot r;
        r.slot = static_cast<int>(slot);
        std::copy_n(adapter.slots[slot].begin(), r.head.size(), r.head.begin());
        adapter.released.push_back(r);
        if (adapter.released.size() > release_history_limit) adapter.released.pop_front();
      }
      adapter.occupied = static_cast<std::uint16_t>(adapter.occupied & ~(1u << slot));
      adapter.slots[slot].fill(0);
      break;
    }
    default:
      return refused(win::error_invalid_parameter);
  }
  return answer{win::error_success, static_cast<std::uint32_t>(packet.size())};
}

answer answer_adapter_data(adapter_state& adapter, std::span<std::uint8_t> packet) {
  std::span<std::uint8_t> payload = packet.subspan(header_length);
  const int type = payload[0];
  const std::uint32_t length = adapter_data_length(type);
  if (length == 0 || adapter_data_packet_size(type) != packet.size() ||
      get_u32_le(payload, adapter_data_length_offset) != length) {
    return refused(win::error_invalid_parameter);
  }
  const adapter_config& c = adapter.config;
  std::span<std::uint8_t> area = payload.subspan(adapter_data_area_offset, length);
  switch (type) {
    case DATA_VERSIONS:
      if (const std::uint32_t e = refusal_error(c, request_kind::versions)) return refused(e);
      std::fill(area.begin(), area.end(), std::uint8_t{0});
      write_text(area, driver_version_offset, c.driver_version);
      write_text(area, firmware_version_offset, c.firmware_version);
      break;
    case DATA_PORT_NAMES:
      if (const std::uint32_t e = refusal_error(c, request_kind::port_names)) return refused(e);
      std::fill(area.begin(), area.end(), std::uint8_t{0});
      put_u64_le(area, node_name_offset, c.wwnn);
      put_u64_le(area, port_name_offset, c.wwpn);
      break;
    default: {  // DATA_PARTS_NUMBER
      std::uint32_t e = refusal_error(c, request_kind::parts_number);
      if (e == 0 && !c.parts_number) e = win::error_invalid_parameter;
      if (e != 0) return refused(e);
      std::fill(area.begin(), area.end(), std::uint8_t{0});
      write_text(area, 0, *c.parts_number);
      break;
    }
  }
  return answer{win::error_success, static_cast<std::uint32_t>(packet.size())};
}

}  // namespace

answer answer_packet(adapter_state& adapter, std::uint32_t code, std::span<std::uint8_t> buffer) {
  ++adapter.exchanges;
  if (adapter.busy_left > 0) {
    --adapter.busy_left;
    return refused(win::error_busy);
  }
  if (code != platform::ioctl_scsi_miniport || !header_is_valid(buffer) || buffer.size() == header_length) {
    return refused(win::error_invalid_parameter);
  }
  // Work on a copy so that a refused packet goes back untouched.
  std::vector<std::uint8_t> packet(buffer.begin(), buffer.end());
  answer a;
  switch (get_u32_le(packet, control_code_offset)) {
    case CC_COMMAND:
      a = answer_command(adapter, packet);
      break;
    case CC_ADAPTER_DATA:
      a = answer_adapter_data(adapter, packet);
      break;
    default:
      a = refused(win::error_invalid_parameter);
      break;
  }
  if (a.error == win::error_success) {
    put_u32_le(packet, return_code_offset, 0);
    std::copy(packet.begin(), packet.end(), buffer.begin());
  }
  return a;
}

bool fill_slot(adapter_state& adapter, int slot, std::span<const std::uint8_t> data) {
  if (slot < 0 || slot >= detail_slot_count || data.size() > detail_slot_size) return false;
  auto& bytes = adapter.slots[static_cast<std::size_t>(slot)];
  bytes.fill(0);
  std::copy(data.begin(), data.end(), bytes.begin());
  adapter.occupied = static_cast<std::uint16_t>(adapter.occupied | (1u << slot));
  return true;
}

std::array<std::uint8_t, adapter::detail_slot_size> default_detail_data(int error, int slot) {
  std::array<std::uint8_t, adapter::detail_slot_size> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(static_cast<std::size_t>(error + slot) + i);
  }
  return bytes;
}

}  // namespace kvx::simulator
