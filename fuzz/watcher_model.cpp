// The watcher as a state machine: the input chooses a System log at the
// start, then a sequence of operations on it and on the watch (driver
// records for three adapters and one location without an adapter, other
// sources' records, clears that restart the numbering, keep it or start it
// anywhere up to the wrap after 4294967295, lost change notifications, the
// notify thread's check, dispatch passes as the worker runs them, log files
// that cannot be written and writers that are joined). A model beside it
// knows what the log held at each pass. After every pass and every join:
//   - no record was written twice, nor one present at the start, one of
//     another source, one of status class 1 or one without an adapter;
//   - each adapter's entries came in record order;
//   - no queue holds more than 16 records;
//   - the only reports are "no adapter is found" for records the watcher
//     read, and "the eventlog was cleared before it was written" for records
//     it read and left in the log for a full queue that a clear then took.
// At the end the log files are made writable and the watch runs until it
// rests; then every record that a pass claimed to have had its turn (it was
// in the log when a pass ended with the log's newest number dispatched, or
// is in it now), and every driver record the watcher read, is written,
// reported once, or still queued.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_host.h"
#include "logd/capture/capture_life.h"
#include "logd/capture/interface_table.h"
#include "logd/capture/watcher.h"
#include "logd/capture/writer_thread.h"
#include "logd/driver_record.h"
#include "logd/state_store.h"
#include "platform/host.h"
#include "platform/sim/event_log_file.h"
#include "platform/sync.h"
#include "platform/win_codes.h"
#include "tests/fakes/capture_fake_event_log.h"
#include "tests/support/capture_seams.h"
#include "tests/support/store_session.h"

namespace {

using namespace kvx;

constexpr int adapter_count = 3;
/// Adapter locations; the last has no adapter and no port device.
constexpr std::uint16_t locations[adapter_count + 1] = {0x0100, 0x0200, 0x0300, 0x0400};
constexpr int no_adapter = adapter_count;
constexpr std::uint32_t class_0 = 0x00000000;
constexpr std::uint32_t class_1 = 0x80000000;  // never logged
constexpr std::uint32_t class_2 = 0xC0000000;
/// The serial sits in the driver data after the event key.
constexpr std::size_t serial_offset = 48;
/// A pass loop that does not settle in this many passes is a livelock.
constexpr int max_passes = 200;

[[noreturn]] void fail(const char* what, std::uint64_t serial, std::uint32_t number) {
  std::fprintf(stderr, "watcher model: %s (record %u, serial %llu)\n", what, number,
               static_cast<unsigned long long>(serial));
  std::abort();
}

/// One record the model knows of.
struct model_record {
  std::uint32_t number = 0;
  std::uint64_t serial = 0;
  int adapter = -1;  ///< -1: another source
  std::uint32_t status = class_0;
  bool before_start = false;
  bool in_log = true;
  bool due = false;   ///< a pass claimed to have had its turn while it was in the log
  bool read = false;  ///< a pass read it and took it (queued, said or left for a full queue)
  int written = 0;
  int reported = 0;

  [[nodiscard]] bool loggable() const {
    return adapter >= 0 && adapter < adapter_count && status != class_1 && !before_start;
  }
};

/// The serial of a record the watcher handed on, from its driver data.
std::uint64_t serial_of(const logd::driver_event& event) {
  if (event.data.size() < serial_offset + 8) return 0;
  std::uint64_t serial = 0;
  std::memcpy(&serial, event.data.data() + serial_offset, 8);
  return serial;
}

/// What the writers were handed, from their threads.
struct written_log {
  std::mutex lock;
  std::vector<std::uint64_t> serials;
  std::atomic<bool> writable[adapter_count]{};
};

struct fixture {
  fuzz::scripted_ports ports;  // every open refused: a rescan finds nothing
  platform::scoped_ports ports_guard{ports};
  fixture() {
    (void)fuzz::temp_host_root();
    ports.refuse_open = win::error_file_not_found;
  }
};

class run {
 public:
  explicit run(FuzzedDataProvider& in) : in_(in) {
    logd::set_unique_id_position(40);
    if (logd::build_thread_manager_table() != 0) std::abort();
    for (auto& w : written_.writable) w = true;
    logd::capture_seams seams;
    seams.request_detail_data = [](logd::interface_entry*) {
      return std::make_unique<adapter::detail_reply>(adapter::detail_reply_size, 0);
    };
    seams.write_log_entry = [this](const logd::driver_event& event, const adapter::detail_reply*) {
      const std::uint16_t location = logd::key_location(event.event_key.value_or(0));
      for (int a = 0; a < adapter_count; ++a) {
        if (locations[a] == location && !written_.writable[a]) return 1;
      }
      std::lock_guard<std::mutex> guard(written_.lock);
      written_.serials.push_back(serial_of(event));
      return 0;
    };
    logd::set_capture_seams(seams);
    for (int a = 0; a < adapter_count; ++a) {
      auto made = std::make_unique<logd::interface_entry>();
      made->symbolic_link_name = "\\\\.\\scsi" + std::to_string(a + 1);
      made->bus_dev_func = locations[a];
      entries_[a] = logd::adopt_interface_entry(std::move(made));
      if (a == 0) {
        logd::set_interface_table(entries_[a]);
      } else {
        logd::set_next(entries_[a - 1], entries_[a]);
      }
    }
  }
  ~run() {
    logd::join_writers();
    logd::set_capture_seams({});
  }
  run(const run&) = delete;
  run& operator=(const run&) = delete;

  void go() {
    // The log as the service finds it, then the start rule.
    clear(pick_number());
    const int present = in_.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < present; ++i) append_any(true);
    if (!logd::take_log_as_seen()) std::abort();
    reader_ = logs_.open_log(logd::system_log_name);
    if (!reader_ || !reader_->notify_change(*event_)) std::abort();

    while (in_.remaining_bytes() > 0) step();
    drain();
  }

 private:
  void step() {
    switch (in_.ConsumeIntegralInRange(0, 10)) {
      case 0:
      case 1:
        append_any(false);
        break;
      case 2:
        clear(1);
        break;
      case 3:
        clear(next_);
        break;
      case 4:
        clear(pick_number());
        break;
      case 5:
        // The next record's change notification is lost.
        logs_.signal_changes = false;
        append_any(false);
        logs_.signal_changes = true;
        break;
      case 6:
        notify_check();
        break;
      case 7:
      case 8:
        if (event_->wait(0) == win::wait_object_0) pass_loop();
        break;
      case 9:
        logd::join_writers();
        check();
        break;
      default: {
        const int a = in_.ConsumeIntegralInRange(0, adapter_count - 1);
        written_.writable[a] = !written_.writable[a];
        break;
      }
    }
  }

  /// 1, just below 2^31, just below the wrap, or any number.
  std::uint32_t pick_number() {
    const std::uint32_t below = in_.ConsumeIntegralInRange<std::uint32_t>(0, 20);
    switch (in_.ConsumeIntegralInRange(0, 3)) {
      case 0:
        return 1;
      case 1:
        return 0x80000000u - below;
      case 2:
        return 0xFFFFFFFFu - below;
      default:
        return std::max<std::uint32_t>(in_.ConsumeIntegral<std::uint32_t>(), 1);
    }
  }

  /// Empties the log; the next record gets `next`. An empty log says 0 or
  /// `next` as its oldest number.
  void clear(std::uint32_t next) {
    logs_.clear(next, in_.ConsumeBool() ? next : 0);
    next_ = next;
    for (model_record& r : records_) r.in_log = false;
  }

  void append_any(bool before_start) {
    model_record r;
    r.serial = ++serial_;
    r.before_start = before_start;
    const int kind = in_.ConsumeIntegralInRange(0, 7);
    std::vector<std::uint8_t> data;
    if (kind == 7) {
      data = test::driver_data_bytes(class_0, 0);
    } else {
      r.adapter = kind % (adapter_count + 1);
      r.status = kind == 4 ? class_1 : (kind == 5 ? class_2 : class_0);
      if (kind == 6) r.adapter = no_adapter;
      data = test::driver_data_bytes(r.status, 0x05030000u | locations[r.adapter]);
    }
    std::memcpy(data.data() + serial_offset, &r.serial, 8);
    const char* source = r.adapter < 0 ? "disk" : "kvxwdd";
    const std::uint32_t event_id = r.adapter < 0 ? 0x80040001 : 0xC0070001;
    r.number = logs_.append([&](std::uint32_t n) { return test::driver_record_bytes(n, data, source, event_id); });
    if (r.number != next_) std::abort();
    next_ = sim::next_record_number(r.number);
    records_.push_back(r);
  }

  /// One cycle of the notify thread.
  void notify_check() {
    std::lock_guard<std::mutex> guard(logd::get_dispatch_lock());
    if (logd::log_has_news()) event_->set();
  }

  /// The worker's answer to the event: passes until one is not deferred.
  void pass_loop() {
    const std::size_t read_before = logs_.numbers_read().size();
    int result = logd::pass_deferred;
    int passes = 0;
    while (result == logd::pass_deferred) {
      if (++passes > max_passes) fail("the passes do not settle", 0, 0);
      {
        std::lock_guard<std::mutex> guard(logd::get_dispatch_lock());
        result = logd::dispatch_pass();
      }
      // The writers it started run to their end before anything else
      // happens: the run is the same every time, and no pass sleeps in
      // 100 ms steps waiting for a writer.
      logd::join_writers();
    }
    if (result != 0) fail("a pass ended the watch", 0, 0);
    // The log did not change during the passes: what was read is in it now.
    // A pass also reads records to tell whether the log is still the one it
    // knew; the records it took are those read up to its last number, and
    // the one it left for a full queue.
    logd::log_span span;
    if (!logd::read_log_span(span)) std::abort();
    const auto last = static_cast<std::uint32_t>(logd::get_last_record_number());
    const auto taken = [&](std::uint32_t number) {
      if (logd::span_holds(span, last) && logd::record_distance(logd::span_first(span), number) <=
                                              logd::record_distance(logd::span_first(span), last)) {
        return true;
      }
      const std::vector<logd::deferred_record> deferred = logd::get_deferred_records();
      return std::any_of(deferred.begin(), deferred.end(),
                         [number](const logd::deferred_record& d) { return d.number == number; });
    };
    const std::vector<std::uint32_t> read = logs_.numbers_read();
    for (std::size_t i = read_before; i < read.size(); ++i) {
      for (model_record& r : records_) {
        if (r.in_log && r.number == read[i] && taken(r.number)) r.read = true;
      }
    }
    // A pass that dispatched up to the newest record has had every record
    // in the log.
    if (logd::span_newest(span) == last) {
      for (model_record& r : records_) {
        if (r.in_log) r.due = true;
      }
    }
    check();
  }

  model_record* find_serial(std::uint64_t serial) {
    if (serial == 0 || serial > records_.size()) return nullptr;
    return &records_[serial - 1];
  }

  /// What must hold at any time between operations.
  void check() {
    std::vector<std::uint64_t> serials;
    {
      std::lock_guard<std::mutex> guard(written_.lock);
      serials.swap(written_.serials);
    }
    for (const std::uint64_t s : serials) {
      model_record* r = find_serial(s);
      if (r == nullptr) fail("a record the log never held was written", s, 0);
      if (r->written++ != 0) fail("a record was written twice", s, r->number);
      if (r->before_start) fail("a record present at the start was written", s, r->number);
      if (!r->loggable()) fail("a record that is not to be logged was written", s, r->number);
      if (s <= last_written_[r->adapter]) fail("an adapter's records were written out of order", s, r->number);
      last_written_[r->adapter] = s;
    }
    for (logd::interface_entry* e : entries_) {
      if (logd::get_queue_count(e) > logd::max_queue_count) fail("a queue holds more than 16 records", 0, 0);
    }
    const std::vector<std::string> texts = logs_.application.texts();
    for (std::size_t i = reports_seen_; i < texts.size(); ++i) take_report(texts[i]);
    reports_seen_ = texts.size();
  }

  void take_report(const std::string& text) {
    unsigned number = 0;
    unsigned location = 0;
    char tail[80] = {};
    if (std::sscanf(text.c_str(), "The eventlog record %u of the adapter at location %x is not logged: %79[^\n]",
                    &number, &location, tail) != 3) {
      std::fprintf(stderr, "watcher model: unexpected report \"%s\"\n", text.c_str());
      std::abort();
    }
    if (std::strcmp(tail, "no adapter is found at that location.") == 0 && location == locations[no_adapter]) {
      for (model_record& r : records_) {
        if (r.in_log && r.read && r.number == number && r.adapter == no_adapter && r.status != class_1 &&
            r.reported == 0) {
          r.reported = 1;
          return;
        }
      }
      fail("a report names no record read without an adapter, or one already reported", 0, number);
    }
    if (std::strcmp(tail, "the eventlog was cleared before it was written.") == 0) {
      // A record of that number read, left in the log, then cleared.
      for (auto r = records_.rbegin(); r != records_.rend(); ++r) {
        if (r->number == number && !r->in_log && r->read && r->adapter >= 0 && r->adapter < adapter_count &&
            locations[r->adapter] == location && r->reported == 0 && r->written == 0) {
          r->reported = 1;
          return;
        }
      }
      fail("a record is said cleared that was not read and cleared, or one written or said before", 0, number);
    }
    std::fprintf(stderr, "watcher model: unexpected report \"%s\"\n", text.c_str());
    std::abort();
  }

  /// Log files writable, the notify thread's check and the passes it wakes
  /// until the watch rests; then nothing due may be missing.
  void drain() {
    for (auto& w : written_.writable) w = true;
    for (int round = 0; round < 8; ++round) {
      logd::join_writers();
      notify_check();
      if (event_->wait(0) != win::wait_object_0) break;
      pass_loop();
    }
    logd::join_writers();
    check();
    // The watch is at rest: whatever the log still holds has had its turn,
    // change notifications lost or not.
    for (model_record& r : records_) {
      if (r.in_log) r.due = true;
    }
    std::vector<std::uint64_t> queued;
    for (logd::interface_entry* e : entries_) {
      logd::for_each_queued_record(e,
                                   [&queued](const logd::driver_event& event) { queued.push_back(serial_of(event)); });
    }
    for (const model_record& r : records_) {
      if (r.before_start || r.adapter < 0 || r.status == class_1) continue;
      if (!r.due && !r.read) continue;
      const bool kept =
          r.reported == 1 || (r.adapter != no_adapter &&
                              (r.written == 1 || std::find(queued.begin(), queued.end(), r.serial) != queued.end()));
      if (kept) continue;
      fail(r.read ? "a record the watcher read was neither logged nor reported" : "a due record was never read",
           r.serial, r.number);
    }
  }

  FuzzedDataProvider& in_;
  test::store_session store_;
  test::capture_fake_event_logs logs_;
  platform::scoped_event_logs logs_guard_{logs_};
  std::unique_ptr<platform::event_handle> event_{platform::create_event(nullptr)};
  std::unique_ptr<platform::event_log_reader> reader_;
  written_log written_;
  logd::interface_entry* entries_[adapter_count] = {};
  std::vector<model_record> records_;
  std::uint64_t serial_ = 0;
  std::uint64_t last_written_[adapter_count] = {};
  std::uint32_t next_ = 1;
  std::size_t reports_seen_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fixture f;
  FuzzedDataProvider in(data, size);
  run r(in);
  r.go();
  return 0;
}
