// Reading an adapter's ring log file kvxNNNN.log as hbalogd writes it: the
// 16-byte header "%4d %9d" CR LF, the entries of the current lap from offset
// 16 up to the end marker, and behind the marker what is left of earlier
// laps. The reader works on the file's bytes alone and never writes.
//
// Order of the entries (oldest first):
// 1. Behind the end marker, the text is cut into laps at every run of blanks
//    (an end marker that a wrap blanked). Each lap is read in file order, and
//    a lap further from the marker comes before the laps nearer to it: every
//    lap is written from offset 16 on and ends at its marker, so what is left
//    of a lap lies beyond the ends of all the laps after it. This is the order
//    of the times of writing whenever the clock ran forward; the times
//    themselves (local time, which goes back an hour when daylight saving time
//    ends) do not decide it.
// 2. Then the entries from the header to the end marker, the newest last.
// An entry whose beginning a later lap overwrote is a fragment: it carries
// its offset and length, never its fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvx::kvxlog {

inline constexpr std::size_t header_size = 16;
inline constexpr std::string_view end_marker = "--- end of log ---";

/// A hex dump of an entry: where its byte lines stand in the file, and how
/// many bytes they show.
struct dump_span {
  std::size_t begin = 0;  ///< the first byte line
  std::size_t end = 0;    ///< just after the last byte line (its line end excluded)
  std::size_t bytes = 0;
};

/// What an entry holds, as views into the file's bytes.
struct entry_fields {
  std::optional<std::uint32_t> record;  ///< none for an entry made for detail data without a record
  std::string_view event_time;          ///< "YYYY/MM/DD HH:MM:SS", empty when the entry shows dashes
  std::string_view written;             ///< "YYYYMMDD HHMMSS" of OPTION DATA, empty when it is no time
  std::string_view option_data;         ///< the OPTION DATA line's whole value
  int bus = 0;
  int device = 0;
  int function = 0;
  std::string_view error_name;
  std::string_view level;
  std::string_view driver_version;  ///< "UNGETTABLE" as the file has it
  std::string_view firmware_version;
  std::string_view adapter_wwn;
  std::optional<dump_span> event_dump;             ///< none for "EVENT LOG DUMP:     UNKNOWN"
  std::optional<dump_span> detail_dump;            ///< none for "DETAIL DATA: UNGETTABLE"
  std::optional<std::uint32_t> detail_last_error;  ///< GET LAST ERROR of a failed detail request
  std::optional<int> refused_slot;                 ///< the FELM slot the driver would not take back

  /// The adapter location of bus, device and function, as in the file's name.
  std::uint32_t location() const {
    return (static_cast<std::uint32_t>(bus & 0xFF) << 8) | (static_cast<std::uint32_t>(device & 0x1F) << 3) |
           static_cast<std::uint32_t>(function & 7);
  }
};

/// One entry (or fragment) of the ring.
struct ring_item {
  std::size_t offset = 0;
  std::size_t length = 0;
  bool whole = false;
  entry_fields fields;  ///< only for a whole entry
};

struct ring_contents {
  bool header_read = false;  ///< the header line is "%4d %9d" CR LF
  int header_count = 0;
  std::int64_t header_offset = 0;
  std::optional<std::size_t> marker;  ///< where the ring's end marker stands
  std::vector<ring_item> items;       ///< oldest first
  /// What does not agree, in the file's order: header, marker, damaged text.
  std::vector<std::string> problems;
};

/// Parses one entry that begins at `at` and ends before `limit`: its fields,
/// and in `end` the offset just after its four closing line ends. None when
/// the text there is not a whole entry.
std::optional<entry_fields> parse_entry(std::string_view file, std::size_t at, std::size_t limit, std::size_t& end);

/// Reads the whole file's bytes as a ring.
ring_contents read_ring(std::string_view file);
/// The same into `ring`, whose room is reused (a reader of many files keeps one).
void read_ring(std::string_view file, ring_contents& ring);

/// The hex digits of a dump's bytes, appended to `out` (two lower-case digits a byte).
void append_dump_hex(std::string& out, std::string_view file, const dump_span& dump);

}  // namespace kvx::kvxlog
