#include "platform/sim/event_log_file.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/sim/event_log_index.h"
#include "platform/sim/event_log_store.h"
#include "platform/sim/host_root.h"

namespace kvx::sim {
namespace {

using detail::get_u16;
using detail::get_u32;
using detail::put_u16;
using detail::put_u32;

constexpr std::size_t pad4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

bool has_nul(const std::string& s) { return s.find('\0') != std::string::npos; }

// The C string that starts at `from` and ends before `end`; false when no NUL
// ends it in time.
bool read_cstring(std::span<const std::uint8_t> rec, std::size_t from, std::size_t end, std::string& out,
                  std::size_t& after) {
  if (from >= end) return false;
  const void* nul = std::memchr(rec.data() + from, 0, end - from);
  if (nul == nullptr) return false;
  const std::size_t len = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - (rec.data() + from));
  out.assign(reinterpret_cast<const char*>(rec.data() + from), len);
  after = from + len + 1;
  return true;
}

bool inside(std::uint64_t offset, std::uint64_t length, std::uint64_t body_end) {
  return offset >= eventlog_fixed_size && offset + length <= body_end;
}

}  // namespace

std::string canonical_log_name(const char* log_name) {
  if (log_name == nullptr) return {};
  if (::strcasecmp(log_name, "System") == 0) return "System";
  if (::strcasecmp(log_name, "Application") == 0) return "Application";
  return {};
}

std::filesystem::path event_log_path(const char* log_name) {
  const std::string name = canonical_log_name(log_name);
  if (name.empty()) return {};
  return host_root() / "eventlog" / (name + ".evt");
}

std::string event_computer_name() {
  if (const char* forced = std::getenv("KVX_COMPUTER_NAME"); forced != nullptr && *forced != '\0') return forced;
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return name;
  return "SIMHOST";
}

std::vector<std::uint8_t> encode_event_record(const event_record& r) {
  if (has_nul(r.source_name) || has_nul(r.computer_name) || r.strings.size() > 0xFFFF) return {};
  std::size_t strings_size = 0;
  for (const std::string& s : r.strings) {
    if (has_nul(s)) return {};
    strings_size += s.size() + 1;
  }
  const std::size_t sid_offset = pad4(eventlog_fixed_size + r.source_name.size() + 1 + r.computer_name.size() + 1);
  const std::size_t string_offset = sid_offset;  // no user SID
  const std::size_t data_offset = string_offset + strings_size;
  const std::size_t length = pad4(data_offset + r.data.size()) + 4;
  if (length > eventlog_max_record_size) return {};

  std::vector<std::uint8_t> b(length, 0);
  const auto len32 = static_cast<std::uint32_t>(length);
  put_u32(&b[0], len32);
  put_u32(&b[4], eventlog_record_magic);
  put_u32(&b[8], r.record_number);
  put_u32(&b[12], r.time_generated);
  put_u32(&b[16], r.time_written);
  put_u32(&b[20], r.event_id);
  put_u16(&b[24], r.event_type);
  put_u16(&b[26], static_cast<std::uint16_t>(r.strings.size()));
  put_u16(&b[28], r.event_category);
  put_u16(&b[30], 0);  // ReservedFlags
  put_u32(&b[32], 0);  // ClosingRecordNumber
  put_u32(&b[36], static_cast<std::uint32_t>(string_offset));
  put_u32(&b[40], 0);  // UserSidLength
  put_u32(&b[44], static_cast<std::uint32_t>(sid_offset));
  put_u32(&b[48], static_cast<std::uint32_t>(r.data.size()));
  put_u32(&b[52], static_cast<std::uint32_t>(data_offset));
  std::size_t at = eventlog_fixed_size;
  std::memcpy(&b[at], r.source_name.data(), r.source_name.size());
  at += r.source_name.size() + 1;
  std::memcpy(&b[at], r.computer_name.data(), r.computer_name.size());
  at = string_offset;
  for (const std::string& s : r.strings) {
    std::memcpy(&b[at], s.data(), s.size());
    at += s.size() + 1;
  }
  if (!r.data.empty()) std::memcpy(&b[data_offset], r.data.data(), r.data.size());
  put_u32(&b[length - 4], len32);
  return b;
}

std::uint32_t parse_event_record(std::span<const std::uint8_t> bytes, event_record& out) {
  if (bytes.size() < detail::min_record_size) return 0;
  const std::uint32_t length = get_u32(&bytes[0]);
  if (length < detail::min_record_size || length % 4 != 0 || length > bytes.size() ||
      length > eventlog_max_record_size || get_u32(&bytes[4]) != eventlog_record_magic ||
      get_u32(&bytes[length - 4]) != length) {
    return 0;
  }
  const std::span<const std::uint8_t> rec = bytes.first(length);
  const std::size_t body_end = length - 4;
  out.record_number = get_u32(&rec[8]);
  out.time_generated = get_u32(&rec[12]);
  out.time_written = get_u32(&rec[16]);
  out.event_id = get_u32(&rec[20]);
  out.event_type = get_u16(&rec[24]);
  const std::uint16_t num_strings = get_u16(&rec[26]);
  out.event_category = get_u16(&rec[28]);
  const std::uint32_t string_offset = get_u32(&rec[36]);
  const std::uint32_t sid_length = get_u32(&rec[40]);
  const std::uint32_t sid_offset = get_u32(&rec[44]);
  const std::uint32_t data_length = get_u32(&rec[48]);
  const std::uint32_t data_offset = get_u32(&rec[52]);

  std::size_t after = 0;
  if (!read_cstring(rec, eventlog_fixed_size, body_end, out.source_name, after)) return 0;
  if (!read_cstring(rec, after, body_end, out.computer_name, after)) return 0;
  if (sid_length != 0 && !inside(sid_offset, sid_length, body_end)) return 0;
  if (num_strings != 0 && !inside(string_offset, 0, body_end)) return 0;
  if (!inside(data_offset, data_length, body_end) && data_length != 0) return 0;

  out.strings.clear();
  std::size_t s_at = string_offset;
  for (std::uint16_t i = 0; i < num_strings; ++i) {
    std::string s;
    if (!read_cstring(rec, s_at, body_end, s, s_at)) return 0;
    out.strings.push_back(std::move(s));
  }
  out.data.assign(rec.begin() + (data_length != 0 ? data_offset : 0),
                  rec.begin() + (data_length != 0 ? data_offset + data_length : 0));
  return length;
}

std::int64_t append_event_record(const char* log_name, const char* source_name, std::uint32_t event_id,
                                 std::uint16_t event_type, std::uint16_t event_category, std::uint32_t time_generated,
                                 const std::vector<std::string>& strings, std::span<const std::uint8_t> data) {
  const std::filesystem::path path = event_log_path(log_name);
  if (path.empty() || source_name == nullptr) return -1;
  event_record r;
  r.time_generated = time_generated;
  r.time_written = static_cast<std::uint32_t>(std::time(nullptr));
  r.event_id = event_id;
  r.event_type = event_type;
  r.event_category = event_category;
  r.source_name = source_name;
  r.computer_name = event_computer_name();
  r.strings = strings;
  r.data.assign(data.begin(), data.end());
  // Encoded before the file is touched; the number is filled in under the lock.
  std::vector<std::uint8_t> bytes = encode_event_record(r);
  if (bytes.empty()) return -1;

  detail::locked_log_file file(path, true);
  const int fd = file.fd();
  detail::log_header h;
  if (!file.locked() || !detail::read_header(fd, h)) return -1;
  if (h.state.record_count == 0xFFFFFFFFu) return -1;
  const detail::log_header before = h;
  r.record_number = h.state.next_number;
  put_u32(&bytes[8], r.record_number);
  // The record goes in first and the header that counts it after, so a
  // writer that dies half-way leaves bytes past the end offset that nobody
  // reads and the next append overwrites.
  if (!detail::write_at(fd, h.end_offset, bytes.data(), bytes.size())) return -1;
  if (h.state.record_count == 0) h.state.oldest_number = r.record_number;
  ++h.state.record_count;
  h.state.next_number = next_record_number(r.record_number);
  h.end_offset += bytes.size();
  if (!detail::write_header(fd, h)) return -1;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > h.end_offset) {
    (void)::ftruncate(fd, static_cast<off_t>(h.end_offset));
  }
  // The record is in the log whatever becomes of its index entry.
  detail::index_appended(path, before, h, before.end_offset);
  return r.record_number;
}

int clear_event_log(const char* log_name, clear_numbering numbering, std::uint32_t start_number) {
  const std::filesystem::path path = event_log_path(log_name);
  if (path.empty()) return 1;
  if (numbering == clear_numbering::start_at && start_number == 0) return 1;
  detail::locked_log_file file(path, true);
  const int fd = file.fd();
  if (!file.locked()) return 1;
  detail::log_header old;
  if (!detail::read_header(fd, old)) {
    if (numbering == clear_numbering::keep) return 1;
    // A corrupt header's generation means nothing; a fresh one keeps open
    // readers from taking their old positions for valid.
    old = detail::log_header{};
    old.state.generation = static_cast<std::uint32_t>(std::time(nullptr));
  }
  detail::log_header h;
  h.state.generation = old.state.generation + 1;
  switch (numbering) {
    case clear_numbering::restart:
      h.state.next_number = 1;
      break;
    case clear_numbering::keep:
      h.state.next_number = old.state.next_number;
      break;
    case clear_numbering::start_at:
      h.state.next_number = start_number;
      break;
  }
  if (::ftruncate(fd, 0) != 0 || !detail::write_header(fd, h)) return 1;
  detail::index_cleared(path, h);
  return 0;
}

int read_event_log_state(const char* log_name, event_log_state& out) {
  detail::locked_log_file file(event_log_path(log_name), false);
  detail::log_header h;
  if (!file.locked() || !detail::read_header(file.fd(), h)) return 1;
  out = h.state;
  return 0;
}

int read_event_log(const char* log_name, std::vector<event_record>& out) {
  out.clear();
  detail::locked_log_file file(event_log_path(log_name), false);
  const int fd = file.fd();
  detail::log_header h;
  if (!file.locked() || !detail::read_header(fd, h)) return 1;
  if (h.state.record_count == 0) return 0;
  detail::record_place at;
  if (!detail::locate_record(fd, h, 0, at)) return 1;
  std::vector<std::uint8_t> bytes;
  for (;;) {
    event_record r;
    if (!detail::load_record(fd, h, at, bytes) || parse_event_record(bytes, r) == 0) return 1;
    out.push_back(std::move(r));
    bool last = false;
    if (!detail::step_record(fd, h, at, true, at, last)) return last ? 0 : 1;
  }
}

}  // namespace kvx::sim
