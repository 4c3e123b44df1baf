// An adapter's log file kvx%04x.log: a 16-byte header line "%4d %9d\n" (the
// entries since the last wrap and the offset of the next one), then a ring of
// entries, each written over the end marker of the one before.
//
// The header's width is kept in every case: the count shown never passes
// 9999 (a file configured to hold more wraps at 9999; one that never wraps
// shows 9999 from then on), and an entry that would carry the write offset
// past 999999999 is written behind the header instead, as after a wrap.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "logd/state_store.h"
#include "platform/files.h"

namespace kvx::logd {

inline constexpr std::int32_t log_header_size = 16;
inline constexpr std::int32_t header_count_limit = 9999;
inline constexpr std::int32_t header_offset_limit = 999999999;
inline constexpr char end_marker[] = "--- end of log ---";
inline constexpr std::int32_t end_marker_size = 18;

/// Builds into `path` the file of the adapter whose location the key gives, in
/// error_log_file_path. 0 built, 1 not: there is no directory (`path`
/// unchanged) or the path would not fit 256 characters (`path` holds it all).
[[nodiscard]] int log_file_path(std::uint32_t event_key, std::string& path);

/// The header line for `count` and `offset`, always 16 bytes with CR LF,
/// each number held to the range that its field can show.
[[nodiscard]] std::string format_log_header(std::int32_t count, std::int32_t offset);

/// Whether a file whose header counts `count` entries must wrap before the
/// next one (never when `max_record_count` is 0).
[[nodiscard]] bool log_file_due_to_wrap(std::int32_t count, std::int32_t max_record_count);

// One entry's road through its adapter's file, all on one open, under the
// location's log_file_lock: open_log_file_for_entry, load_log_header (the
// header's numbers into the adapter's entry, the file wrapped when due), the
// entry's bytes at get_log_write_offset (wrap_log_file first when the header
// could not show where they end), store_log_header, the flush to stable
// storage, and only then the slot's release, close.
//
// So whenever the process dies, the header counts whole entries only: its
// offset lies on the end marker, on an entry not yet counted (whose slot the
// driver still holds, so that the next start logs it again), or, in a wrap
// cut short, on the blanked marker while the count says a wrap is due.

/// Opens the adapter's file for reading and writing ("r+b"), making it with an
/// empty header first when it does not exist, unbuffered: each write reaches
/// the file as it is made. Null when the path cannot be built or the file
/// cannot be opened or made (reported).
[[nodiscard]] platform::unique_file open_log_file_for_entry(std::uint32_t event_key);

/// Reads, from a file just opened by open_log_file_for_entry, the header's two numbers ("%d %d": a number that cannot
/// be read keeps its default of 0 or 16) into the entry's log_record_count and log_write_offset, held to what the
/// header can show and never inside the header; then wraps the file when max_record_count says it is due.
void load_log_header(std::FILE* file, interface_entry* entry);

/// Blanks the end marker at the entry's write offset (where the file reaches
/// that far) and sends the next entry back behind the header (count 0,
/// offset 16), in the file's header as well: the entries that the next one
/// overwrites are no longer counted while it is written.
void wrap_log_file(std::FILE* file, interface_entry* entry);

/// Writes the entry's two numbers as the file's header line. 0 written, 1 on a
/// seek or write error.
[[nodiscard]] int store_log_header(std::FILE* file, const interface_entry* entry);

}  // namespace kvx::logd
