#include "logd/output/log_entry.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "adapter/byte_order.h"
#include "adapter/control_packet.h"
#include "logd/capture/capture_hooks.h"
#include "logd/capture/interface_table.h"
#include "logd/capture/service_requests.h"
#include "logd/driver_record.h"
#include "logd/output/crlf_text.h"
#include "logd/output/error_lists.h"
#include "logd/output/hex_dump.h"
#include "logd/output/log_file.h"
#include "logd/output/report_event.h"
#include "platform/files.h"
#include "platform/local_time.h"

namespace kvx::logd {
namespace {

constexpr const char* ungettable = "UNGETTABLE";
constexpr const char* unknown = "UNKNOWN";
constexpr std::size_t driver_version_width = adapter::firmware_version_offset - adapter::driver_version_offset;
constexpr std::size_t firmware_version_width = adapter::versions_length - adapter::firmware_version_offset;
constexpr std::size_t slot_count = adapter::detail_slot_count;
// The tail: a possible FELM line, four line ends and the marker, CR LF counted.
constexpr std::size_t tail_limit = 32 + 8 + end_marker_size;

// The process clock of OPTION DATA: milliseconds since the process started.
const std::chrono::steady_clock::time_point process_start = std::chrono::steady_clock::now();

// "%Y/%m/%d %H:%M:%S" (event time) or "%Y%m%d %H%M%S" (writing time) in
// local time; `fallback` when the host cannot convert the time.
std::string local_text(std::time_t when, bool compact, const char* fallback) {
  std::tm t{};
  if (!platform::local_time(when, t)) return fallback;
  std::string text;
  if (compact) {
    append_text(text, "%04d%02d%02d %02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                t.tm_sec);
  } else {
    append_text(text, "%04d/%02d/%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                t.tm_sec);
  }
  return text;
}

// A text of the driver's that should end in a zero byte within its field.
std::string field_text(std::span<const std::uint8_t> data, std::size_t at, std::size_t width) {
  const auto field = data.subspan(at, width);
  const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
  return std::string(field.begin(), end);
}

bool slot_occupied(const adapter::detail_reply& reply, std::size_t slot) {
  if (reply.size() < 2 || slot >= slot_count) return false;
  return (reply[slot / 8] & (0x80u >> (slot % 8))) != 0;
}

// The slot whose data the entry shows: the key's slot for an event record,
// the lowest occupied one for a synthetic record.
std::optional<int> chosen_slot(const adapter::detail_reply& reply, bool synthetic, std::uint32_t key) {
  if (!synthetic) {
    const std::uint32_t slot = key_slot(key);
    if (slot_occupied(reply, slot)) return static_cast<int>(slot);
    return std::nullopt;
  }
  for (std::size_t slot = 0; slot < slot_count; ++slot) {
    if (slot_occupied(reply, slot)) return static_cast<int>(slot);
  }
  return std::nullopt;
}

// At most `size` bytes of `bytes` from `at`: a dump never reads past the
// record or the reply, whatever the configured sizes say.
std::span<const std::uint8_t> bounded(std::span<const std::uint8_t> bytes, std::size_t at, std::int32_t size) {
  if (size <= 0 || at >= bytes.size()) return {};
  return bytes.subspan(at, std::min<std::size_t>(static_cast<std::size_t>(size), bytes.size() - at));
}

struct entry_plan {
  std::string head;         ///< blocks 1 to 11 up to the end of the detail dump
  std::optional<int> slot;  ///< the slot to release once the head is on disk
};

entry_plan compose_head(const driver_event& event, const adapter::detail_reply* reply, std::uint32_t key,
                        interface_entry* entry) {
  entry_plan plan;
  std::string& text = plan.head;
  // Room for the dumps at their usual sizes and the lines around them.
  text.reserve(8192);
  const std::uint32_t number = event.number;
  const bool synthetic = number == 0;

  const std::string date =
      synthetic ? "----/--/-- --:--:--"
                : local_text(static_cast<std::time_t>(event.time_generated), false, "----/--/-- --:--:--");
  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  const std::string written = local_text(now, true, "-------- ------");
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - process_start);
  const int milliseconds = static_cast<int>(elapsed.count() % 1000);

  const name_entry* name = synthetic ? nullptr : find_error_name(static_cast<std::int32_t>(key_error_number(key)));
  const level_entry* level = find_error_level(name);
  const std::string error_name = name != nullptr ? name->error_name : unknown;
  const std::string level_name = level != nullptr ? level->level_name : unknown;

  const std::string link = get_symbolic_link_name(entry);
  std::array<std::uint8_t, adapter::versions_length> versions{};
  const bool have_versions = request_adapter_data(link, adapter::DATA_VERSIONS, versions.data()) == 0;
  std::array<std::uint8_t, adapter::port_names_length> port_names{};
  const bool have_port_name = request_adapter_data(link, adapter::DATA_PORT_NAMES, port_names.data()) == 0;

  if (reply == nullptr) {
    append_text(text, "DETAIL DATA WAS %s.\n", ungettable);
    append_text(text, "GET LAST ERROR = %04x\n\n", static_cast<unsigned>(get_last_error(entry)));
  }
  const std::int32_t dump_size = get_dump_data_size();
  if (!synthetic) {
    // RecordNumber is unsigned: numbers past 2147483647 are shown as they are, not negative.
    append_text(text, "---- KVXWDD LOG #%u ----\n\n", static_cast<unsigned>(number));
    append_text(text, "EVENT LOG DATE/TIME:%s\n\n", date.c_str());
    append_windows_text(text, "EVENT LOG DUMP:\n");
    append_hex_dump(text, "EVENT LOG DUMP", dump_size, bounded(event.data, 0, dump_size));
  } else {
    append_windows_text(text, "---- KVXWDD LOG #------ ----\n\n");
    append_text(text, "EVENT LOG DATE/TIME:%s\n\n", date.c_str());
    append_text(text, "EVENT LOG DUMP:     %s\n", unknown);
  }
  append_windows_text(text, "\n\n");
  append_text(text, "ERROR NAME:         %s\n", error_name.c_str());
  append_text(text, "LEVEL:              %s\n\n", level_name.c_str());
  append_text(text, "BUS NUMBER:         %d\n", static_cast<int>(key_bus(key)));
  append_text(text, "DEVICE NUMBER:      %d\n", static_cast<int>(key_device(key)));
  append_text(text, "FUNCTION NUMBER:    %d\n\n", static_cast<int>(key_function(key)));
  if (have_versions) {
    const std::span<const std::uint8_t> data(versions);
    append_text(text, "DRIVER VERSION:     %s\n",
                field_text(data, adapter::driver_version_offset, driver_version_width).c_str());
    append_text(text, "FIRMWARE VERSION:   %s\n",
                field_text(data, adapter::firmware_version_offset, firmware_version_width).c_str());
  } else {
    append_text(text, "DRIVER VERSION:     %s\n", ungettable);
    append_text(text, "FIRMWARE VERSION:   %s\n", ungettable);
  }
  if (have_port_name) {
    const std::uint64_t wwpn = adapter::get_u64_le(port_names, adapter::port_name_offset);
    append_text(text, "ADAPTER WWN:        %08x%08x\n", static_cast<unsigned>(wwpn >> 32),
                static_cast<unsigned>(wwpn & 0xFFFFFFFFu));
  } else {
    append_text(text, "ADAPTER WWN:        %s\n", ungettable);
  }
  append_text(text, "OPTION DATA:        %s %03d\n\n", written.c_str(), milliseconds);

  const int status_class = event_status_class(event);
  if (reply != nullptr && status_class != status_class_ungettable) plan.slot = chosen_slot(*reply, synthetic, key);
  if (plan.slot) {
    const std::size_t at =
        adapter::detail_slots_offset + static_cast<std::size_t>(*plan.slot) * adapter::detail_slot_size;
    const std::int32_t size = get_error_log_size();
    append_windows_text(text, "DETAIL DATA:\n");
    append_hex_dump(text, "ERRLOG", size, bounded(*reply, at, size));
  } else {
    append_text(text, "DETAIL DATA: %s\n", ungettable);
  }
  return plan;
}

// The entry's close: the FELM line when `unreleased` names a slot the driver
// would not take back, four line ends and the marker.
void append_entry_tail(std::string& text, std::optional<int> unreleased) {
  if (unreleased) append_text(text, "OPTION DATA:        FELM%02d\n", *unreleased);
  append_windows_text(text, "\n\n\n\n");
  text += end_marker;
}

bool write_at(std::FILE* file, std::int64_t offset, std::string_view bytes) {
  return platform::seek_file(file, offset, SEEK_SET) &&
         std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

// Points the adapter's numbers at the marker of the entry that went in whole
// as `size` bytes from `offset`. false when the header could not show it.
bool point_at_marker(interface_entry* entry, std::int64_t offset, std::size_t size) {
  const std::int64_t marker = offset + static_cast<std::int64_t>(size) - end_marker_size;
  if (marker > header_offset_limit) return false;
  set_log_write_offset(entry, static_cast<std::int32_t>(marker));
  return true;
}

// The header stored and, with the entry written before it, on stable storage.
bool store_and_flush(std::FILE* file, const interface_entry* entry) {
  if (store_log_header(file, entry) != 0) return false;
  capture_step_taken(capture_step::header_stored);
  if (!platform::flush_file_to_disk(file)) return false;
  capture_step_taken(capture_step::file_flushed);
  return true;
}

// Writes the entry into the open file, moves the adapter's numbers on and
// stores them, and hands the dumped slot back. false when the entry did not
// reach stable storage whole with a header that counts it: the slot is then
// not given back, and the driver keeps it for the next try or the sweeps.
bool write_entry(std::FILE* file, const driver_event& event, const adapter::detail_reply* reply, std::uint32_t key,
                 interface_entry* entry) {
  entry_plan plan = compose_head(event, reply, key, entry);
  std::int32_t offset = get_log_write_offset(entry);
  if (static_cast<std::int64_t>(offset) + static_cast<std::int64_t>(plan.head.size() + tail_limit) >
      header_offset_limit) {
    // The header could not show where the next entry goes: start the ring again.
    wrap_log_file(file, entry);
    offset = get_log_write_offset(entry);
  }
  // The entry goes in with one write, its tail as it stands when the slot is
  // given back; then the header that counts it, and one flush of both. Only
  // then does the slot go back: a crash before the release leaves the slot
  // with the driver (the next start's scan logs it), one after it finds the
  // entry counted on disk. Should the driver refuse the slot, the tail is
  // written again with the FELM line (longer, so it covers the first), and
  // the header with it, flushed as well.
  const std::size_t tail_at = plan.head.size();
  std::string bytes = std::move(plan.head);
  append_entry_tail(bytes, std::nullopt);
  if (!write_at(file, offset, bytes)) return false;
  capture_step_taken(capture_step::entry_written);
  if (!point_at_marker(entry, offset, bytes.size())) return false;
  // Counted in 64 bits: the count a damaged header gives may be the largest there is.
  const std::int64_t count = static_cast<std::int64_t>(get_log_record_count(entry)) + 1;
  set_log_record_count(entry, static_cast<std::int32_t>(std::min<std::int64_t>(count, header_count_limit)));
  if (!store_and_flush(file, entry)) return false;
  if (!plan.slot) return true;
  const bool released = release_detail_slot(entry, *plan.slot) == 0;
  capture_step_taken(capture_step::slot_released);
  if (released) return true;
  bytes.resize(tail_at);
  append_entry_tail(bytes, plan.slot);
  return write_at(file, static_cast<std::int64_t>(offset) + static_cast<std::int64_t>(tail_at),
                  std::string_view(bytes).substr(tail_at)) &&
         point_at_marker(entry, offset, bytes.size()) && store_and_flush(file, entry);
}

}  // namespace

int write_log_entry(const event_record& record, const adapter::detail_reply* reply) {
  return write_log_entry(decode_driver_record(record), reply, nullptr);
}

int write_log_entry(const driver_event& event, const adapter::detail_reply* reply, interface_entry* adapter) {
  const std::optional<std::uint32_t> key = event.event_key;
  if (!key) return 1;
  // One entry at a time per log file, whichever thread writes it.
  std::lock_guard<std::mutex> serial(log_file_lock(location_of_key(*key)));
  // The header is loaded, the entry written, the header stored, both flushed
  // and the slot released through one open of the file.
  platform::unique_file file = open_log_file_for_entry(*key);
  if (!file) return 1;
  interface_entry* entry = adapter != nullptr ? adapter : find_interface(*key);
  if (entry == nullptr) return 1;
  load_log_header(file.get(), entry);
  const bool written = write_entry(file.get(), event, reply, *key, entry);
  // The header is stored again for an entry that failed half-way: the
  // numbers point at the last marker that is known to be in the file.
  if (!written) (void)store_log_header(file.get(), entry);
  // Closed with the file's owner: once the flush has succeeded, a close that
  // fails loses nothing the header counts, and writing the entry again would
  // give its record a second one.
  file.reset();
  if (written) return 0;
  // Said where it happens; the record stays with its writer for a later try.
  std::string path;
  (void)log_file_path(*key, path);
  report_event(report_error, "Unable to write file %s", path.c_str());
  return 1;
}

}  // namespace kvx::logd
