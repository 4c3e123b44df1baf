// The event-log files of the simulated host: <host root>/eventlog/System.evt
// and Application.evt. Each is a 64-byte file header followed by records in
// exactly the EVENTLOGRECORD (ANSI) layout that ReadEventLogA returns; the
// format is described in docs/simulated-host.md, "Event logs". Beside each
// lies its record index (platform/sim/event_log_index.h), which appends and
// clears keep and readers check before use.
//
// Any number of processes may read and write at once: every change is made
// under an exclusive flock of the log file and every read under a shared one,
// so a reader only ever sees whole records. Log names are "System" and
// "Application", in any letter case; every other name fails.
//
// This is the simulated host's own library API, used by the platform backend
// (platform/sim/event_log_service.cpp), by simhost and by the driver simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace kvx::sim {

/// EVENTLOGRECORD.Reserved: "LfLe".
inline constexpr std::uint32_t eventlog_record_magic = 0x654c664c;
/// The fixed part of a record, Length through DataOffset.
inline constexpr std::size_t eventlog_fixed_size = 56;
/// Records larger than this are refused on append and taken for corruption
/// on reading.
inline constexpr std::uint32_t eventlog_max_record_size = 16u << 20;

/// One record, decoded. The byte layout is made by encode_event_record and
/// read back by parse_event_record.
struct event_record {
  std::uint32_t record_number = 0;
  std::uint32_t time_generated = 0;  ///< seconds since 1970-01-01 UTC
  std::uint32_t time_written = 0;    ///< seconds since 1970-01-01 UTC
  std::uint32_t event_id = 0;
  std::uint16_t event_type = 0;
  std::uint16_t event_category = 0;
  std::string source_name;
  std::string computer_name;
  std::vector<std::string> strings;
  std::vector<std::uint8_t> data;
};

/// The numbering state of one log. `oldest_number` is the number of the first
/// record present (meaningful only when `record_count` > 0); `next_number` is
/// the number the next appended record gets. `generation` changes on every
/// clear, so that an open reader can tell that its position went stale.
struct event_log_state {
  std::uint32_t oldest_number = 0;
  std::uint32_t next_number = 1;
  std::uint32_t record_count = 0;
  std::uint32_t generation = 0;
};

/// How clear_event_log numbers the records that follow.
enum class clear_numbering {
  restart,  ///< from 1 again, as older Windows did
  keep,     ///< go on counting, as current Windows does
  start_at  ///< from the number given
};

/// The number that follows `n`: after 0xFFFFFFFF comes 1, never 0 (record
/// number 0 marks the service's synthetic records).
constexpr std::uint32_t next_record_number(std::uint32_t n) { return n == 0xFFFFFFFFu ? 1u : n + 1u; }

/// "System" or "Application" for a log name in any letter case; empty for
/// any other name.
std::string canonical_log_name(const char* log_name);

/// The log's file below the host root; empty for an unknown log name. The
/// file itself may not exist yet: a missing log is an empty one.
std::filesystem::path event_log_path(const char* log_name);

/// The computer name written into records: $KVX_COMPUTER_NAME when set and not
/// empty, else the host name, else "SIMHOST".
std::string event_computer_name();

/// The record's bytes: the fixed part, SourceName NUL, ComputerName NUL,
/// padding to 4, no user SID, the strings NUL-terminated, the data, padding to
/// 4, and the Length again as the last DWORD. Uses every field of `r` as given.
std::vector<std::uint8_t> encode_event_record(const event_record& r);

/// Parses the record that starts at bytes[0], checking every length and
/// offset against the record and the span. Gives the record's Length, or 0
/// when the bytes are not one whole, well-formed record (`out` is then
/// unspecified).
[[nodiscard]] std::uint32_t parse_event_record(std::span<const std::uint8_t> bytes, event_record& out);

/// Appends one record to the log: its number is the log's next number, its
/// TimeWritten now, its ComputerName event_computer_name(), no user SID.
/// Gives the record number, or -1 when the log name is unknown, the log file
/// cannot be written or is corrupt, or the record would be too large.
[[nodiscard]] std::int64_t append_event_record(const char* log_name, const char* source_name, std::uint32_t event_id,
                                               std::uint16_t event_type, std::uint16_t event_category,
                                               std::uint32_t time_generated, const std::vector<std::string>& strings,
                                               std::span<const std::uint8_t> data);

/// Removes every record. `start_number` is used only with start_at and must
/// not be 0. keep fails on a corrupt log (its numbers are unknown); restart and
/// start_at replace a corrupt log with an empty one. 0 on success, 1 on failure.
[[nodiscard]] int clear_event_log(const char* log_name, clear_numbering numbering, std::uint32_t start_number = 1);

/// The log's numbering state. 0 on success, 1 on failure (unknown name,
/// unreadable or corrupt file).
[[nodiscard]] int read_event_log_state(const char* log_name, event_log_state& out);

/// Every record of the log, oldest first, for display. 0 on success; 1 on
/// failure, with the records read before a corrupt one left in `out`.
[[nodiscard]] int read_event_log(const char* log_name, std::vector<event_record>& out);

}  // namespace kvx::sim
