// The event-log service of the simulated host: readers over the log files of
// platform/sim/event_log_file.h with ReadEventLogA's semantics, and event
// sources that append to the Application log.
#include <cstring>
#include <ctime>

#include "platform/event_log.h"
#include "platform/host.h"
#include "platform/sim/event_log_file.h"
#include "platform/sim/event_log_index.h"
#include "platform/sim/event_log_store.h"
#include "platform/sim/event_log_watch.h"
#include "platform/win_codes.h"

namespace kvx::sim {
namespace {

using detail::log_header;
using detail::record_place;

// One open log. Used by one thread at a time, as a Windows event-log handle
// is; only its change watch runs on a thread of its own.
class sim_event_log_reader final : public platform::event_log_reader {
 public:
  sim_event_log_reader(std::filesystem::path path, detail::unique_fd fd, detail::open_indexes& indexes)
      : path_(std::move(path)), fd_(std::move(fd)), indexes_(indexes) {}

  bool oldest_record_number(std::uint32_t& out) override {
    log_header h;
    if (!load_header(h)) return false;
    // An empty log gives 0, as older Windows does, whatever its next number.
    out = h.state.record_count != 0 ? h.state.oldest_number : 0;
    return true;
  }

  bool number_of_records(std::uint32_t& out) override {
    log_header h;
    if (!load_header(h)) return false;
    out = h.state.record_count;
    return true;
  }

  std::uint32_t read(std::uint32_t flags, std::uint32_t record_number, std::uint8_t* buffer, std::uint32_t size,
                     std::uint32_t& bytes_read, std::uint32_t& bytes_needed) override;

  bool notify_change(platform::event_handle& event) override {
    if (!watch_) watch_ = detail::log_change_watch::start(path_);
    if (!watch_) return false;
    watch_->add(event);
    return true;
  }

 private:
  bool load_header(log_header& h) {
    detail::file_lock lock(fd_.get(), false);
    return lock.locked() && detail::read_header(fd_.get(), h);
  }

  // Where the next sequential read starts: record `index` of the generation
  // read last, which starts at `offset`, or ends there when `offset_is_end`.
  // An index of -1 or of the record count lies past an end of the log.
  struct position {
    std::int64_t index = 0;
    std::uint64_t offset = 0;
    bool offset_is_end = false;
  };

  std::filesystem::path path_;
  detail::unique_fd fd_;
  detail::open_indexes& indexes_;
  bool synced_ = false;
  std::uint32_t generation_ = 0;
  bool positioned_ = false;
  position pos_;
  // The record a size probe found too large for its buffer, read whole.
  bool probed_ = false;
  std::uint32_t probed_generation_ = 0;
  record_place probed_place_;
  std::vector<std::uint8_t> probed_bytes_;
  // Last member: stopped and joined before the rest goes.
  std::unique_ptr<detail::log_change_watch> watch_;
};

std::uint32_t sim_event_log_reader::read(std::uint32_t flags, std::uint32_t record_number, std::uint8_t* buffer,
                                         std::uint32_t size, std::uint32_t& bytes_read, std::uint32_t& bytes_needed) {
  bytes_read = 0;
  bytes_needed = 0;
  const bool sequential = (flags & win::eventlog_sequential_read) != 0;
  const bool seek = (flags & win::eventlog_seek_read) != 0;
  const bool forwards = (flags & win::eventlog_forwards_read) != 0;
  const bool backwards = (flags & win::eventlog_backwards_read) != 0;
  constexpr std::uint32_t known = win::eventlog_sequential_read | win::eventlog_seek_read |
                                  win::eventlog_forwards_read | win::eventlog_backwards_read;
  if (sequential == seek || forwards == backwards || (flags & ~known) != 0) return win::error_invalid_parameter;
  if (buffer == nullptr && size != 0) return win::error_invalid_parameter;

  const int fd = fd_.get();
  detail::file_lock lock(fd, false);
  if (!lock.locked()) return win::error_gen_failure;
  log_header h;
  if (!detail::read_header(fd, h)) return win::error_event_log_file_corrupt;
  if (!synced_ || h.state.generation != generation_) {
    const bool stale = synced_ && positioned_;
    synced_ = true;
    generation_ = h.state.generation;
    positioned_ = false;
    // Once reported, the handle reads the new log from its start.
    if (stale && sequential) return win::error_event_log_file_changed;
  }

  const auto count = static_cast<std::int64_t>(h.state.record_count);
  // `bytes` holds record `cur` whole once `loaded`.
  record_place cur;
  std::vector<std::uint8_t> bytes;
  bool loaded = false;
  if (seek) {
    std::uint64_t index = 0;
    if (!detail::index_of(h.state, record_number, index)) return win::error_invalid_parameter;
    if (!detail::find_record(fd, path_, h, index, indexes_, cur, bytes)) return win::error_event_log_file_corrupt;
    loaded = true;
  } else {
    if (!positioned_) {
      pos_ = forwards ? position{0, detail::log_header_size, false} : position{count - 1, h.end_offset, true};
    }
    if (pos_.index < 0 || pos_.index >= count) return win::error_handle_eof;
    const auto index = static_cast<std::uint64_t>(pos_.index);
    if (probed_ && probed_generation_ == generation_ && !pos_.offset_is_end && probed_place_.index == index &&
        probed_place_.offset == pos_.offset) {
      // A record of this generation never changes: the one just probed is
      // the one to read.
      cur = probed_place_;
      bytes.swap(probed_bytes_);
      loaded = true;
    } else {
      const bool found = pos_.offset_is_end ? detail::place_record_ending_at(fd, h, index, pos_.offset, cur)
                                            : detail::place_record(fd, h, index, pos_.offset, cur);
      if (!found) return win::error_event_log_file_corrupt;
    }
  }
  probed_ = false;

  // Whole records only, as many as fit, starting with `cur`.
  std::uint32_t copied = 0;
  for (;;) {
    if (cur.length > size - copied) {
      // Only a record that reads whole has a size to tell.
      if (copied == 0 && !loaded && !detail::load_record(fd, h, cur, bytes)) {
        return win::error_event_log_file_corrupt;
      }
      pos_ = position{static_cast<std::int64_t>(cur.index), cur.offset, false};
      positioned_ = true;
      if (copied != 0) break;
      // Kept for the read of the right size that follows a size probe.
      probed_ = true;
      probed_generation_ = generation_;
      probed_place_ = cur;
      probed_bytes_.swap(bytes);
      bytes_needed = cur.length;
      return win::error_insufficient_buffer;
    }
    if (!loaded && !detail::load_record(fd, h, cur, bytes)) {
      if (copied == 0) return win::error_event_log_file_corrupt;
      pos_ = position{static_cast<std::int64_t>(cur.index), cur.offset, false};
      break;
    }
    loaded = false;
    std::memcpy(buffer + copied, bytes.data(), bytes.size());
    copied += static_cast<std::uint32_t>(bytes.size());
    // The neighbour is where the next read starts. It is looked at now only
    // when it could still fit; a record past an end forwards is where the
    // next record appended will start, so a later read picks it up.
    pos_ = forwards ? position{static_cast<std::int64_t>(cur.index) + 1, cur.offset + cur.length, false}
                    : position{static_cast<std::int64_t>(cur.index) - 1, cur.offset, true};
    if (pos_.index < 0 || pos_.index >= count || size - copied < detail::min_record_size) break;
    record_place next;
    bool out_of_range = false;
    // A damaged neighbour is left for the next read to report.
    if (!detail::step_record(fd, h, cur, forwards, next, out_of_range)) break;
    cur = next;
  }
  positioned_ = true;
  bytes_read = copied;
  return win::error_success;
}

class sim_event_source final : public platform::event_source {
 public:
  explicit sim_event_source(std::string name) : name_(std::move(name)) {}

  bool report(std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
              const std::vector<std::string>& strings, std::span<const std::uint8_t> data) override {
    const auto now = static_cast<std::uint32_t>(std::time(nullptr));
    return append_event_record("Application", name_.c_str(), event_id, type, category, now, strings, data) >= 0;
  }

 private:
  std::string name_;
};

class sim_event_log_service final : public platform::event_log_service {
 public:
  std::unique_ptr<platform::event_log_reader> open_log(const char* log_name) override {
    std::filesystem::path path = event_log_path(log_name);
    if (path.empty()) return nullptr;
    detail::unique_fd fd = detail::open_log_file(path, false);
    if (!fd.valid()) return nullptr;
    return std::make_unique<sim_event_log_reader>(std::move(path), std::move(fd), indexes_);
  }

  std::unique_ptr<platform::event_source> register_source(const char* source_name) override {
    if (source_name == nullptr || *source_name == '\0') return nullptr;
    return std::make_unique<sim_event_source>(source_name);
  }

 private:
  detail::open_indexes indexes_;
};

}  // namespace
}  // namespace kvx::sim

namespace kvx::platform {

event_log_service& backend_event_logs() {
  static sim::sim_event_log_service service;
  return service;
}

}  // namespace kvx::platform
