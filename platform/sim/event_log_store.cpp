#include "platform/sim/event_log_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kvx::sim::detail {
namespace {

constexpr char header_magic[8] = {'K', 'V', 'X', 'E', 'V', 'L', 'O', 'G'};

bool file_size(int fd, std::uint64_t& out) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size < 0) return false;
  out = static_cast<std::uint64_t>(st.st_size);
  return true;
}

// The Length, Reserved and RecordNumber words at `offset`, checked against
// the file's record area.
bool read_record_head(int fd, const log_header& h, std::uint64_t offset, std::uint32_t& length) {
  std::uint8_t head[8];
  if (offset < log_header_size || offset + sizeof head > h.end_offset) return false;
  if (!read_at(fd, offset, head, sizeof head)) return false;
  length = get_u32(head);
  return get_u32(head + 4) == eventlog_record_magic && length >= min_record_size && length % 4 == 0 &&
         length <= eventlog_max_record_size && length <= h.end_offset - offset;
}

// The record that ends at `end`, found through its trailing Length.
bool read_record_ending_at(int fd, const log_header& h, std::uint64_t end, record_place& out) {
  std::uint8_t tail[4];
  if (end < log_header_size + min_record_size || end > h.end_offset) return false;
  if (!read_at(fd, end - 4, tail, sizeof tail)) return false;
  const std::uint32_t length = get_u32(tail);
  if (length < min_record_size || length > end - log_header_size) return false;
  std::uint32_t head_length = 0;
  if (!read_record_head(fd, h, end - length, head_length) || head_length != length) return false;
  out.offset = end - length;
  out.length = length;
  return true;
}

// Whether `bytes` are one whole, well-formed record, the one at `at`.
bool record_is_whole(const log_header& h, const record_place& at, std::span<const std::uint8_t> bytes) {
  event_record parsed;
  return parse_event_record(bytes, parsed) == at.length &&
         parsed.record_number == number_at(h.state.oldest_number, at.index);
}

}  // namespace

std::uint32_t get_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t get_u16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(static_cast<std::uint16_t>(p[0]) | static_cast<std::uint16_t>(p[1]) << 8);
}

void put_u32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void put_u16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

file_lock::file_lock(int fd, bool exclusive) : fd_(fd) {
  if (fd < 0) return;
  int rc;
  do {
    rc = ::flock(fd, exclusive ? LOCK_EX : LOCK_SH);
  } while (rc != 0 && errno == EINTR);
  locked_ = rc == 0;
}

file_lock::~file_lock() {
  if (locked_) ::flock(fd_, LOCK_UN);
}

locked_log_file::locked_log_file(const std::filesystem::path& path, bool for_writing)
    : fd_(path.empty() ? unique_fd() : open_log_file(path, for_writing)), lock_(fd_.get(), for_writing) {}

unique_fd open_log_file(const std::filesystem::path& path, bool for_writing) {
  // A reader creates a missing log read-only: closing it then raises no
  // change notification, while a writer's close always does.
  const int flags = (for_writing ? O_RDWR : O_RDONLY) | O_CREAT | O_CLOEXEC;
  const auto open_once = [&] {
    int fd;
    do {
      fd = ::open(path.c_str(), flags, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd;
  };
  int fd = open_once();
  if (fd < 0 && errno == ENOENT) {
    // The first log of a fresh host root: its folder comes first.
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    fd = open_once();
  }
  return unique_fd(fd);
}

bool read_at(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool write_at(int fd, std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool read_header(int fd, log_header& out) {
  std::uint64_t size = 0;
  if (!file_size(fd, size)) return false;
  out = log_header{};
  if (size == 0) return true;
  std::uint8_t b[log_header_size];
  if (size < log_header_size || !read_at(fd, 0, b, sizeof b)) return false;
  if (std::memcmp(b, header_magic, sizeof header_magic) != 0) return false;
  if (get_u32(b + 8) != log_format_version || get_u32(b + 12) != log_header_size) return false;
  out.state.generation = get_u32(b + 16);
  out.state.oldest_number = get_u32(b + 20);
  out.state.next_number = get_u32(b + 24);
  out.state.record_count = get_u32(b + 28);
  out.end_offset = static_cast<std::uint64_t>(get_u32(b + 32)) | static_cast<std::uint64_t>(get_u32(b + 36)) << 32;
  const event_log_state& s = out.state;
  if (s.next_number == 0 || out.end_offset < log_header_size || out.end_offset > size) return false;
  if (s.record_count == 0) return out.end_offset == log_header_size;
  return s.oldest_number != 0 && number_at(s.oldest_number, s.record_count) == s.next_number &&
         (out.end_offset - log_header_size) / min_record_size >= s.record_count;
}

bool write_header(int fd, const log_header& h) {
  std::uint8_t b[log_header_size] = {};
  std::memcpy(b, header_magic, sizeof header_magic);
  put_u32(b + 8, log_format_version);
  put_u32(b + 12, log_header_size);
  put_u32(b + 16, h.state.generation);
  put_u32(b + 20, h.state.oldest_number);
  put_u32(b + 24, h.state.next_number);
  put_u32(b + 28, h.state.record_count);
  put_u32(b + 32, static_cast<std::uint32_t>(h.end_offset));
  put_u32(b + 36, static_cast<std::uint32_t>(h.end_offset >> 32));
  return write_at(fd, 0, b, sizeof b);
}

std::uint32_t number_at(std::uint32_t oldest, std::uint64_t index) {
  // Numbers run 1..0xFFFFFFFF and round again, 0 left out.
  const std::uint64_t period = 0xFFFFFFFFull;
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(oldest) - 1 + index) % period + 1);
}

bool index_of(const event_log_state& s, std::uint32_t number, std::uint64_t& index) {
  if (number == 0 || s.record_count == 0) return false;
  const std::uint64_t period = 0xFFFFFFFFull;
  index = (static_cast<std::uint64_t>(number) + period - s.oldest_number) % period;
  return index < s.record_count;
}

bool place_record(int fd, const log_header& h, std::uint64_t index, std::uint64_t offset, record_place& out) {
  if (index >= h.state.record_count) return false;
  std::uint32_t length = 0;
  if (!read_record_head(fd, h, offset, length)) return false;
  out = record_place{index, offset, length};
  return true;
}

bool place_record_ending_at(int fd, const log_header& h, std::uint64_t index, std::uint64_t end, record_place& out) {
  if (index >= h.state.record_count) return false;
  record_place at;
  if (!read_record_ending_at(fd, h, end, at)) return false;
  at.index = index;
  out = at;
  return true;
}

bool read_record_at(int fd, const log_header& h, std::uint64_t index, std::uint64_t offset, record_place& out,
                    std::vector<std::uint8_t>& bytes) {
  if (index >= h.state.record_count || offset % 4 != 0 || offset < log_header_size ||
      offset + min_record_size > h.end_offset) {
    return false;
  }
  // The head, and for most records all of it, in one read.
  const std::uint64_t first = std::min<std::uint64_t>(h.end_offset - offset, 1024);
  bytes.resize(first);
  if (!read_at(fd, offset, bytes.data(), bytes.size())) return false;
  const std::uint32_t length = get_u32(bytes.data());
  if (get_u32(bytes.data() + 4) != eventlog_record_magic || length < min_record_size ||
      length > eventlog_max_record_size || length > h.end_offset - offset) {
    return false;
  }
  bytes.resize(length);
  if (length > first && !read_at(fd, offset + first, bytes.data() + first, length - first)) return false;
  const record_place at{index, offset, length};
  if (!record_is_whole(h, at, bytes)) return false;
  out = at;
  return true;
}

bool locate_record(int fd, const log_header& h, std::uint64_t index, record_place& out) {
  const std::uint64_t count = h.state.record_count;
  if (index >= count) return false;
  record_place at;
  if (index <= count / 2) {
    at.offset = log_header_size;
    if (!read_record_head(fd, h, at.offset, at.length)) return false;
    for (std::uint64_t i = 0; i < index; ++i) {
      at.offset += at.length;
      if (!read_record_head(fd, h, at.offset, at.length)) return false;
    }
  } else {
    std::uint64_t end = h.end_offset;
    for (std::uint64_t i = count; i-- > index;) {
      if (!read_record_ending_at(fd, h, end, at)) return false;
      end = at.offset;
    }
  }
  at.index = index;
  out = at;
  return true;
}

bool step_record(int fd, const log_header& h, const record_place& from, bool forwards, record_place& out,
                 bool& out_of_range) {
  out_of_range = forwards ? from.index + 1 >= h.state.record_count : from.index == 0;
  if (out_of_range) return false;
  record_place at;
  at.index = forwards ? from.index + 1 : from.index - 1;
  if (forwards) {
    at.offset = from.offset + from.length;
    if (!read_record_head(fd, h, at.offset, at.length)) return false;
  } else if (!read_record_ending_at(fd, h, from.offset, at)) {
    return false;
  }
  out = at;
  return true;
}

bool load_record(int fd, const log_header& h, const record_place& at, std::vector<std::uint8_t>& out) {
  if (at.length < min_record_size || at.offset + at.length > h.end_offset) return false;
  out.resize(at.length);
  return read_at(fd, at.offset, out.data(), out.size()) && record_is_whole(h, at, out);
}

}  // namespace kvx::sim::detail
