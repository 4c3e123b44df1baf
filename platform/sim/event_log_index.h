// Private to the simulated event logs: the record index kept beside each log
// file (<log file>.idx), where every record of the log lies, so that a record
// is found by its number in a few reads whatever the log's size.
//
// The index is a cache and is never trusted: an entry names the generation
// and the number of its record, and the record it points to is read whole and
// checked (signature, both Lengths, every offset, the number) before it is
// used. An index that is missing, stale (another generation, another first
// number, more records than the log), short or damaged is left for a walk of
// the log, which writes it again. The log's flock covers the index too:
// appends and clears change it under the exclusive lock, and a reader repairs
// it under the shared one, writing only what a walk of the unchanging log
// found, so that two readers repairing at once write the same bytes. The
// layout is in docs/simulated-host.md.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/sim/event_log_store.h"

namespace kvx::sim::detail {

/// "KVXEVIDX", version, generation, first number, entry count, 8 zero bytes;
/// then for each record, oldest first, its file offset (u64), the log's
/// generation and the record's number (u32 each). Little-endian.
inline constexpr std::uint32_t index_header_size = 32;
inline constexpr std::uint32_t index_entry_size = 16;
inline constexpr std::uint32_t index_format_version = 1;

/// The index file that belongs to the log file `log_path`.
std::filesystem::path index_path(const std::filesystem::path& log_path);

/// The index files a process reads, held open from one reader to the next
/// (opening the file would cost more than the read it serves). One per log
/// file; a file replaced under it shows as entries that fail their checks,
/// and the repair that follows opens it again. Safe to share between threads.
class open_indexes {
 public:
  /// The index of `log_path` open for reading; invalid when there is none.
  std::shared_ptr<const unique_fd> get(const std::filesystem::path& log_path);
  /// The next get opens the file again.
  void forget(const std::filesystem::path& log_path);

 private:
  struct held {
    std::filesystem::path log_path;
    std::shared_ptr<const unique_fd> fd;
  };
  std::mutex lock_;
  std::vector<held> held_;
};

/// Finds record `index` (< record_count) of the log open on `fd`, which the
/// caller holds locked, through the index, or by a walk that then brings the
/// index up to date, and reads it: `out` is its place and `bytes` the whole
/// record, checked as load_record checks it. False when neither finds a
/// well-formed record there.
[[nodiscard]] bool find_record(int fd, const std::filesystem::path& log_path, const log_header& h, std::uint64_t index,
                               open_indexes& indexes, record_place& out, std::vector<std::uint8_t>& bytes);

/// Under the exclusive lock, after an append that wrote a record at `offset`
/// and counted it: `before` and `after` are the log's headers either side.
/// The index takes the entry only when it held every earlier record; one
/// that did not is left for the next reader to repair.
void index_appended(const std::filesystem::path& log_path, const log_header& before, const log_header& after,
                    std::uint64_t offset);

/// Under the exclusive lock, after a clear: an empty index of the new
/// generation.
void index_cleared(const std::filesystem::path& log_path, const log_header& h);

}  // namespace kvx::sim::detail
