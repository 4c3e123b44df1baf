#include "simulator/error_record.h"

#include <algorithm>
#include <ctime>

#include "adapter/byte_order.h"
#include "platform/registry.h"
#include "platform/sim/event_log_file.h"
#include "platform/win_codes.h"

namespace kvx::simulator {
namespace {

constexpr std::size_t dump_data_size_offset = 2;
constexpr std::size_t error_code_offset = 12;
constexpr std::size_t unique_error_value_offset = 16;
constexpr std::uint16_t dump_data_bytes = 64;

}  // namespace

std::uint32_t driver_event_id(int error) { return 0xC0070000u | (static_cast<std::uint32_t>(error) & 0xFFFFu); }

std::uint32_t event_key(int error, int slot, std::uint32_t location) {
  return (static_cast<std::uint32_t>(error & 0xFF) << 24) | (static_cast<std::uint32_t>(slot & 0xFF) << 16) |
         (location & 0xFFFFu);
}

std::vector<std::uint8_t> error_packet_data(std::uint32_t event_id, std::uint32_t status, std::uint32_t key,
                                            std::size_t key_offset) {
  std::vector<std::uint8_t> data(std::max(error_packet_size, key_offset + 4), 0);
  adapter::put_le(data, dump_data_size_offset, 2, dump_data_bytes);
  adapter::put_u32_le(data, error_code_offset, event_id);
  adapter::put_u32_le(data, unique_error_value_offset, status);
  adapter::put_u32_be(data, key_offset, key);
  return data;
}

std::int64_t configured_key_offset() {
  platform::unique_reg_key key;
  if (platform::host_registry().open_key(platform::hive_root::local_machine, "SOFTWARE\\Velmora\\kvxwdd\\hbalogd",
                                         win::key_query_value, key) != win::error_success) {
    return default_key_offset;
  }
  std::uint8_t bytes[4] = {};
  std::uint32_t size = sizeof bytes;
  std::uint32_t type = 0;
  if (key->query_value("unique_id_position", &type, bytes, &size) != win::error_success || type != win::reg_dword ||
      size != sizeof bytes) {
    return default_key_offset;
  }
  return static_cast<std::int32_t>(adapter::get_u32_le(bytes, 0));
}

std::int64_t write_driver_record(std::uint32_t event_id, const std::string& device_object,
                                 const std::vector<std::uint8_t>& data) {
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  return sim::append_event_record("System", driver_source_name, event_id, win::eventlog_error_type, 0, now,
                                  {device_object}, data);
}

}  // namespace kvx::simulator
