#include "logd/output/log_file.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string_view>

#include "logd/capture/capture_hooks.h"
#include "logd/driver_record.h"
#include "logd/output/decimal_text.h"
#include "logd/output/report_event.h"
#include "platform/files.h"

namespace kvx::logd {
namespace {

constexpr std::size_t path_buffer_size = 256;

void report_unopened(const std::string& path) { report_event(report_error, "Unable to open file %s", path.c_str()); }

// The path for messages about a file whose path could not be built: as much
// of it as can be told.
std::string described_path(std::uint32_t event_key) {
  std::array<char, 16> name{};
  std::snprintf(name.data(), name.size(), "kvx%04x.log", static_cast<unsigned>(location_of_key(event_key)));
  std::string dir = get_error_log_file_path().value_or("");
  if (dir.empty() || dir.back() != '\\') dir += '\\';
  return dir + name.data();
}

}  // namespace

int log_file_path(std::uint32_t event_key, std::string& path) {
  const std::optional<std::string> dir = get_error_log_file_path();
  if (!dir) return 1;
  path = described_path(event_key);
  return path.size() < path_buffer_size ? 0 : 1;
}

std::string format_log_header(std::int32_t count, std::int32_t offset) {
  std::array<char, 32> line{};
  std::snprintf(line.data(), line.size(), "%4d %9d\r\n", std::clamp<std::int32_t>(count, 0, header_count_limit),
                std::clamp<std::int32_t>(offset, log_header_size, header_offset_limit));
  return line.data();
}

bool log_file_due_to_wrap(std::int32_t count, std::int32_t max_record_count) {
  if (max_record_count == 0) return false;
  return count >= std::min(max_record_count, header_count_limit);
}

namespace {

/// Makes an adapter's file with an empty header. false when it cannot (reported).
bool create_log_file(const std::string& path) {
  platform::unique_file created = platform::open_file(path.c_str(), "wb");
  if (!created) {
    report_unopened(path);
    return false;
  }
  const std::string header = format_log_header(0, log_header_size);
  const bool written = std::fwrite(header.data(), 1, header.size(), created.get()) == header.size();
  if (std::fclose(created.release()) != 0 || !written) {
    report_unopened(path);
    return false;
  }
  return true;
}

}  // namespace

platform::unique_file open_log_file_for_entry(std::uint32_t event_key) {
  std::string path;
  if (log_file_path(event_key, path) != 0) {
    report_unopened(described_path(event_key));
    return nullptr;
  }
  platform::unique_file file = platform::open_file(path.c_str(), "r+b");
  if (!file) {
    if (!create_log_file(path)) return nullptr;
    file = platform::open_file(path.c_str(), "r+b");
    if (!file) {
      report_unopened(path);
      return nullptr;
    }
  }
  // An entry is composed in memory and written in whole pieces, each flushed
  // at once; a stream buffer would only split them and read back the block
  // at every seek.
  (void)std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
}

void load_log_header(std::FILE* file, interface_entry* entry) {
  std::int32_t count = 0;
  std::int32_t offset = log_header_size;
  // "%d %d": a number that cannot be read keeps its starting value, and the
  // second is read only after the first.
  // The file is as open_log_file_for_entry gave it, at its start.
  std::array<char, 64> head{};
  const std::size_t got = std::fread(head.data(), 1, head.size(), file);
  const std::string_view text(head.data(), got);
  std::size_t pos = 0;
  if (const std::optional<std::int32_t> first = read_decimal(text, pos)) {
    count = *first;
    if (const std::optional<std::int32_t> second = read_decimal(text, pos)) offset = *second;
  }
  // A header edited by hand is used as it stands, except that no entry may be
  // written over the header itself, and a count past what the header can show
  // is the most it can show (it is counted on from there without overflow).
  set_log_record_count(entry, std::clamp(count, 0, header_count_limit));
  set_log_write_offset(entry, std::max(offset, log_header_size));
  if (log_file_due_to_wrap(get_log_record_count(entry), get_max_record_count())) wrap_log_file(file, entry);
}

void wrap_log_file(std::FILE* file, interface_entry* entry) {
  // The marker is blanked only where it can be: an offset beyond the file's
  // end (a header edited by hand) must not make the file grow.
  const std::int64_t offset = get_log_write_offset(entry);
  if (platform::seek_file(file, 0, SEEK_END) && platform::tell_file(file) >= offset + end_marker_size &&
      platform::seek_file(file, offset, SEEK_SET)) {
    const std::string blanks(end_marker_size, ' ');
    (void)std::fwrite(blanks.data(), 1, blanks.size(), file);
  }
  capture_step_taken(capture_step::wrap_started);
  set_log_record_count(entry, 0);
  set_log_write_offset(entry, log_header_size);
  // The header no longer counts the entries that the next one overwrites. Its
  // failure shows again when the entry's own header is stored.
  (void)store_log_header(file, entry);
}

int store_log_header(std::FILE* file, const interface_entry* entry) {
  const std::string header = format_log_header(get_log_record_count(entry), get_log_write_offset(entry));
  const bool written =
      platform::seek_file(file, 0, SEEK_SET) && std::fwrite(header.data(), 1, header.size(), file) == header.size();
  return written ? 0 : 1;
}

}  // namespace kvx::logd
