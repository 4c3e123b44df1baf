#include "platform/sim/event_log_index.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kvx::sim::detail {
namespace {

constexpr char index_magic[8] = {'K', 'V', 'X', 'E', 'V', 'I', 'D', 'X'};
/// At most this many index files are held open: a process rarely reads more
/// than the two logs of one host root.
constexpr std::size_t max_held = 4;

struct index_header {
  std::uint32_t generation = 0;
  std::uint32_t oldest_number = 0;
  std::uint32_t count = 0;
};

unique_fd open_index(const std::filesystem::path& path, bool for_writing) {
  const int flags = (for_writing ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC;
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
  return unique_fd(fd);
}

bool read_index_header(int fd, index_header& out) {
  std::uint8_t b[index_header_size];
  if (!read_at(fd, 0, b, sizeof b) || std::memcmp(b, index_magic, sizeof index_magic) != 0 ||
      get_u32(b + 8) != index_format_version) {
    return false;
  }
  out.generation = get_u32(b + 12);
  out.oldest_number = get_u32(b + 16);
  out.count = get_u32(b + 20);
  return true;
}

bool write_index_header(int fd, const log_header& h, std::uint64_t count) {
  std::uint8_t b[index_header_size] = {};
  std::memcpy(b, index_magic, sizeof index_magic);
  put_u32(b + 8, index_format_version);
  put_u32(b + 12, h.state.generation);
  put_u32(b + 16, h.state.oldest_number);
  put_u32(b + 20, static_cast<std::uint32_t>(count));
  return write_at(fd, 0, b, sizeof b);
}

// Whether the index may hold every record up to its count: the same
// generation and first number, and no more records than the log has.
bool describes(const index_header& ih, const log_header& h) {
  return ih.generation == h.state.generation && ih.count <= h.state.record_count &&
         (ih.count == 0 || ih.oldest_number == h.state.oldest_number);
}

// The offset entry `index` gives, when the entry names this generation and
// this record; the record itself is still to be checked.
bool read_entry(int fd, const log_header& h, std::uint64_t index, std::uint64_t& offset) {
  std::uint8_t b[index_entry_size];
  if (!read_at(fd, index_header_size + index * index_entry_size, b, sizeof b)) return false;
  offset = static_cast<std::uint64_t>(get_u32(b)) | static_cast<std::uint64_t>(get_u32(b + 4)) << 32;
  return get_u32(b + 8) == h.state.generation && get_u32(b + 12) == number_at(h.state.oldest_number, index);
}

// Entries `first`, `first` + 1, ... and then the header that counts them, so
// that a writer that stops half-way leaves entries nobody counts.
bool write_entries(int fd, const log_header& h, std::uint64_t first, const std::vector<std::uint64_t>& offsets) {
  std::vector<std::uint8_t> b(offsets.size() * index_entry_size);
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    std::uint8_t* e = &b[i * index_entry_size];
    put_u32(e, static_cast<std::uint32_t>(offsets[i]));
    put_u32(e + 4, static_cast<std::uint32_t>(offsets[i] >> 32));
    put_u32(e + 8, h.state.generation);
    put_u32(e + 12, number_at(h.state.oldest_number, first + i));
  }
  return write_at(fd, index_header_size + first * index_entry_size, b.data(), b.size()) &&
         write_index_header(fd, h, first + offsets.size());
}

// Where a walk that completes the index starts: the last record the index
// holds when every entry up to it is the log's (`from`, then true), or the
// first record of the log (false).
bool walk_start(int fd, const std::filesystem::path& path, const log_header& h, std::uint64_t index,
                record_place& from) {
  const unique_fd ix = open_index(path, false);
  index_header ih;
  std::uint64_t offset = 0;
  std::vector<std::uint8_t> bytes;
  // An entry before the count that failed its check damns the whole index.
  return ix.valid() && read_index_header(ix.get(), ih) && describes(ih, h) && index >= ih.count && ih.count > 0 &&
         read_entry(ix.get(), h, ih.count - 1, offset) && read_record_at(fd, h, ih.count - 1, offset, from, bytes);
}

}  // namespace

std::filesystem::path index_path(const std::filesystem::path& log_path) {
  std::filesystem::path p = log_path;
  p += ".idx";
  return p;
}

std::shared_ptr<const unique_fd> open_indexes::get(const std::filesystem::path& log_path) {
  std::lock_guard<std::mutex> guard(lock_);
  for (const held& h : held_) {
    if (h.log_path == log_path) return h.fd;
  }
  auto fd = std::make_shared<const unique_fd>(open_index(index_path(log_path), false));
  if (!fd->valid()) return fd;
  if (held_.size() >= max_held) held_.erase(held_.begin());
  held_.push_back({log_path, fd});
  return fd;
}

void open_indexes::forget(const std::filesystem::path& log_path) {
  std::lock_guard<std::mutex> guard(lock_);
  std::erase_if(held_, [&](const held& h) { return h.log_path == log_path; });
}

bool find_record(int fd, const std::filesystem::path& log_path, const log_header& h, std::uint64_t index,
                 open_indexes& indexes, record_place& out, std::vector<std::uint8_t>& bytes) {
  const std::uint64_t count = h.state.record_count;
  if (index >= count) return false;
  // The first and the last record are one step from an end of the file.
  if (index == 0) return read_record_at(fd, h, 0, log_header_size, out, bytes);
  if (index + 1 == count) return locate_record(fd, h, index, out) && load_record(fd, h, out, bytes);
  {
    const std::shared_ptr<const unique_fd> ix = indexes.get(log_path);
    std::uint64_t offset = 0;
    if (ix->valid() && read_entry(ix->get(), h, index, offset) && read_record_at(fd, h, index, offset, out, bytes)) {
      return true;
    }
  }

  // The walk: from the index's last good entry, or from the first record.
  const std::filesystem::path path = index_path(log_path);
  record_place at;
  const bool from_known = walk_start(fd, path, h, index, at);
  const std::uint64_t first = from_known ? at.index + 1 : 0;
  std::vector<std::uint64_t> offsets;
  if (!from_known) {
    if (!place_record(fd, h, 0, log_header_size, at)) return false;
    offsets.push_back(at.offset);
  }
  bool found = false;
  for (;;) {
    if (at.index == index) {
      out = at;
      found = true;
    }
    record_place next;
    bool last = false;
    if (!step_record(fd, h, at, true, next, last)) break;
    at = next;
    offsets.push_back(at.offset);
  }
  // Written only when the walk added something; a reader without the right
  // to write the index still gets its record.
  if (!offsets.empty()) {
    const unique_fd ix = open_index(path, true);
    if (ix.valid()) (void)write_entries(ix.get(), h, first, offsets);
  }
  indexes.forget(log_path);
  // A damaged record stopped the walk before `index`: the walk from the other
  // end may still reach it.
  return (found || locate_record(fd, h, index, out)) && load_record(fd, h, out, bytes);
}

void index_appended(const std::filesystem::path& log_path, const log_header& before, const log_header& after,
                    std::uint64_t offset) {
  const unique_fd ix = open_index(index_path(log_path), true);
  if (!ix.valid()) return;
  const std::uint64_t at = before.state.record_count;
  if (at == 0) {
    // A fresh start: whatever the file held described another log.
    if (::ftruncate(ix.get(), 0) != 0) return;
  } else {
    index_header ih;
    if (!read_index_header(ix.get(), ih) || !describes(ih, before) || ih.count != at) return;
  }
  (void)write_entries(ix.get(), after, at, {offset});
}

void index_cleared(const std::filesystem::path& log_path, const log_header& h) {
  const unique_fd ix = open_index(index_path(log_path), true);
  if (!ix.valid() || ::ftruncate(ix.get(), 0) != 0) return;
  (void)write_index_header(ix.get(), h, 0);
}

}  // namespace kvx::sim::detail
