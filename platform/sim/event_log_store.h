// Private to the simulated event logs: the file header, file locks and the
// walk over the records of one log file. Callers hold the lock that their
// access needs (shared for reading, exclusive for changing) for the whole of
// one query, so the header and the records they see belong together.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/sim/event_log_file.h"
#include "platform/sim/unique_fd.h"

namespace kvx::sim::detail {

/// The 64-byte header at the start of every log file (little-endian):
/// "KVXEVLOG", version, header size, generation, oldest number, next number,
/// record count, end offset (u64), then zeros. A file of size 0 is an empty
/// log with next number 1 and generation 0.
inline constexpr std::uint32_t log_header_size = 64;
inline constexpr std::uint32_t log_format_version = 1;
/// 56 fixed bytes, two one-byte names padded to 4, and the trailing Length.
inline constexpr std::uint32_t min_record_size = 64;

struct log_header {
  event_log_state state;
  std::uint64_t end_offset = log_header_size;  ///< where the next record goes
};

std::uint32_t get_u32(const std::uint8_t* p);
std::uint16_t get_u16(const std::uint8_t* p);
void put_u32(std::uint8_t* p, std::uint32_t v);
void put_u16(std::uint8_t* p, std::uint16_t v);

using sim::unique_fd;

/// flock held for the guard's lifetime; check locked() before relying on it.
class file_lock {
 public:
  file_lock(int fd, bool exclusive);
  ~file_lock();
  file_lock(const file_lock&) = delete;
  file_lock& operator=(const file_lock&) = delete;
  bool locked() const { return locked_; }

 private:
  int fd_;
  bool locked_ = false;
};

/// A log file opened and locked for one query or change; check locked()
/// before relying on it. An empty path gives an unlocked one.
class locked_log_file {
 public:
  locked_log_file(const std::filesystem::path& path, bool for_writing);
  bool locked() const { return fd_.valid() && lock_.locked(); }
  int fd() const { return fd_.get(); }

 private:
  unique_fd fd_;
  file_lock lock_;
};

/// Opens the log file for reading (creating an empty one when missing, which
/// a writer's close would not announce) or for writing. Invalid on failure.
unique_fd open_log_file(const std::filesystem::path& path, bool for_writing);

/// Whole-buffer pread/pwrite, retried on EINTR and short transfers.
[[nodiscard]] bool read_at(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t size);
[[nodiscard]] bool write_at(int fd, std::uint64_t offset, const std::uint8_t* data, std::size_t size);

/// Reads and checks the header against itself and the file size. False for
/// an unreadable or inconsistent (corrupt) file.
[[nodiscard]] bool read_header(int fd, log_header& out);
[[nodiscard]] bool write_header(int fd, const log_header& h);

/// The number of the record `index` places after `oldest`, with the wrap
/// after 0xFFFFFFFF to 1.
std::uint32_t number_at(std::uint32_t oldest, std::uint64_t index);
/// The index of record `number` in a log, or false when it is not there.
[[nodiscard]] bool index_of(const event_log_state& s, std::uint32_t number, std::uint64_t& index);

/// Where one record lies in the file.
struct record_place {
  std::uint64_t index = 0;
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
};

/// The record `index` that starts at `offset`, checked as far as its head.
[[nodiscard]] bool place_record(int fd, const log_header& h, std::uint64_t index, std::uint64_t offset,
                                record_place& out);
/// The record `index` that ends just before `end`, found through its
/// trailing Length and checked as far as its head.
[[nodiscard]] bool place_record_ending_at(int fd, const log_header& h, std::uint64_t index, std::uint64_t end,
                                          record_place& out);
/// Reads record `index` at `offset` whole and checks it whole, its number
/// included: what an offset from anywhere but a walk must pass before it is
/// used. One read for a record of up to 1 KiB.
[[nodiscard]] bool read_record_at(int fd, const log_header& h, std::uint64_t index, std::uint64_t offset,
                                  record_place& out, std::vector<std::uint8_t>& bytes);
/// Finds record `index` (< record_count), walking from whichever end of the
/// file is nearer. False when the walk meets a malformed record.
[[nodiscard]] bool locate_record(int fd, const log_header& h, std::uint64_t index, record_place& out);
/// The neighbour of `from` in the given direction; false when `from` is the
/// last record that way or the neighbour is malformed (`out_of_range` tells
/// which).
[[nodiscard]] bool step_record(int fd, const log_header& h, const record_place& from, bool forwards, record_place& out,
                               bool& out_of_range);
/// Reads the record's bytes and checks them whole, its number included.
[[nodiscard]] bool load_record(int fd, const log_header& h, const record_place& at, std::vector<std::uint8_t>& out);

}  // namespace kvx::sim::detail
