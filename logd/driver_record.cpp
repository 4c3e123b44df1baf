#include "logd/driver_record.h"

#include <cctype>
#include <cstring>

#include "adapter/byte_order.h"
#include "logd/state_store.h"

namespace kvx::logd {
namespace {

/// Whether [offset, offset + 4) lies inside `bytes`. Compared in 64 bits, so
/// no offset made from 32-bit fields can overflow.
bool four_bytes_inside(std::span<const std::uint8_t> bytes, std::int64_t offset) {
  return offset >= 0 && offset <= static_cast<std::int64_t>(bytes.size()) - 4;
}

bool equals_ignoring_case(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace

std::optional<std::uint32_t> load_le32(std::span<const std::uint8_t> bytes, std::int64_t offset) {
  if (!four_bytes_inside(bytes, offset)) return std::nullopt;
  return adapter::get_u32_le(bytes, static_cast<std::size_t>(offset));
}

std::optional<std::uint32_t> load_be32(std::span<const std::uint8_t> bytes, std::int64_t offset) {
  if (!four_bytes_inside(bytes, offset)) return std::nullopt;
  return adapter::get_u32_be(bytes, static_cast<std::size_t>(offset));
}

std::optional<std::uint32_t> record_number(const event_record& record) {
  return load_le32(record, record_number_offset);
}

std::optional<std::uint32_t> time_generated(const event_record& record) {
  return load_le32(record, time_generated_offset);
}

std::uint64_t record_digest(const event_record& record) {
  std::uint64_t digest = 0xcbf29ce484222325ull;
  for (const std::uint8_t byte : record) {
    digest ^= byte;
    digest *= 0x100000001b3ull;
  }
  return digest;
}

std::span<const std::uint8_t> driver_data(const event_record& record) {
  const std::optional<std::uint32_t> offset = load_le32(record, data_offset_offset);
  if (!offset || *offset >= record.size()) return {};
  return std::span<const std::uint8_t>(record).subspan(*offset);
}

bool is_driver_record(const event_record& record) {
  const std::optional<std::uint32_t> event_id = load_le32(record, event_id_offset);
  if (!event_id || event_facility(*event_id) != driver_facility) return false;
  if (record.size() <= source_name_offset) return false;
  const auto* name = reinterpret_cast<const char*>(record.data() + source_name_offset);
  const std::size_t room = record.size() - source_name_offset;
  const std::size_t wanted = std::strlen(driver_source_name);
  // The whole name and its terminating NUL must lie inside the block.
  if (room <= wanted || name[wanted] != '\0') return false;
  return equals_ignoring_case(name, driver_source_name, wanted);
}

std::optional<std::int32_t> read_status_word(const event_record& record) {
  const std::optional<std::uint32_t> word = load_le32(driver_data(record), status_word_position);
  if (!word) return std::nullopt;
  return static_cast<std::int32_t>(*word);
}

std::optional<std::uint32_t> read_event_key(const event_record& record) {
  return load_be32(driver_data(record), get_unique_id_position());
}

driver_event decode_driver_record(const event_record& record) {
  driver_event event;
  event.number = record_number(record).value_or(0);
  event.time_generated = time_generated(record).value_or(0);
  event.status = read_status_word(record);
  event.event_key = read_event_key(record);
  const std::span<const std::uint8_t> data = driver_data(record);
  event.data.assign(data.begin(), data.end());
  return event;
}

driver_event make_synthetic_record(std::int32_t bus_dev_func) {
  driver_event event;
  event.status = 0;
  event.event_key = static_cast<std::uint32_t>(bus_dev_func);
  return event;
}

}  // namespace kvx::logd
