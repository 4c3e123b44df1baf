#include "logd/watcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "logd/capture_hooks.h"
#include "logd/configuration.h"
#include "logd/driver_record.h"
#include "logd/error_lists.h"
#include "logd/interface_table.h"
#include "logd/report_event.h"
#include "logd/sweeps.h"
#include "logd/writer_thread.h"
#include "platform/event_log.h"
#include "platform/host.h"
#include "platform/sync.h"
#include "platform/win_codes.h"

namespace kvx::logd {
namespace {

constexpr std::uint32_t probe_flags = win::eventlog_seek_read | win::eventlog_backwards_read;
constexpr std::uint32_t read_flags = win::eventlog_sequential_read | win::eventlog_backwards_read;

std::unique_ptr<event_record> make_buffer(std::size_t size) {
  std::unique_ptr<event_record> buffer(new (std::nothrow) event_record());
  if (!buffer) return nullptr;
  try {
    buffer->resize(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return buffer;
}

std::uint32_t last_dispatched() { return static_cast<std::uint32_t>(get_last_record_number()); }

/// What became of one record number in a pass.
enum class queued {
  done,        ///< queued, or not one to be logged (said where it was dropped)
  deferred,    ///< its adapter's queue is full: it stays in the log for the next pass
  watch_ends,  ///< the watch ended while the pass waited for the adapter's writer
};

record_mark mark_of(const event_record* record) {
  if (record == nullptr) return {};
  return {record_mark::held::record, record_digest(*record)};
}

/// Whether the log is still the one the last pass dispatched from: it holds
/// the last dispatched number, under the same record as far as is known.
bool log_goes_on(const log_span& span, std::uint32_t last) {
  if (!span_holds(span, last)) return false;
  const record_mark mark = get_last_record_mark();
  if (mark.kind == record_mark::held::none) return false;
  if (mark.kind == record_mark::held::unknown) return true;
  // A record that cannot be read now tells nothing: the number decides.
  const std::unique_ptr<event_record> record = read_record(last);
  return !record || record_digest(*record) == mark.digest;
}

void forget_deferred_record(std::uint32_t number) {
  std::vector<deferred_record> records = get_deferred_records();
  const auto gone =
      std::remove_if(records.begin(), records.end(), [number](const deferred_record& r) { return r.number == number; });
  if (gone == records.end()) return;
  records.erase(gone, records.end());
  set_deferred_records(std::move(records));
}

/// A record left in the log for a full queue is read again by this pass when
/// the log still holds it; one that a clear took away is said here.
void settle_deferred_records(const log_span& span) {
  std::vector<deferred_record> records = get_deferred_records();
  if (records.empty()) return;
  std::vector<deferred_record> kept;
  for (const deferred_record& r : records) {
    if (span_holds(span, r.number)) {
      // Unreadable now: the pass meets it again and says why.
      const std::unique_ptr<event_record> record = read_record(r.number);
      if (!record || record_digest(*record) == r.digest) {
        kept.push_back(r);
        continue;
      }
    }
    report_unlogged_record(r.number, r.location, "the eventlog was cleared before it was written");
  }
  if (kept.size() != records.size()) set_deferred_records(std::move(kept));
}

std::unique_ptr<event_record> read_one_record(std::uint32_t number, const log_span* pass_span, read_fault* fault);

/// Reads record `n` of the pass over `span` and, when it is a kvxwdd record to
/// be logged, queues it to its adapter (after one rescan per pass for a
/// location not in the table). `mark` tells the record read apart, for the
/// pass's last number.
queued queue_record(const log_span& span, std::uint32_t n, read_fault& fault, std::vector<std::uint16_t>& rescanned,
                    record_mark& mark) {
  const std::unique_ptr<event_record> record = read_one_record(n, &span, &fault);
  mark = mark_of(record.get());
  if (!record || !is_driver_record(*record)) return queued::done;
  driver_event event = decode_driver_record(*record);
  if (!event.status) {
    report_event(report_warning, "The eventlog record %u is too short for its status word. It is not logged.", n);
    return queued::done;
  }
  if (classify_status(*event.status) == status_class_ignored) return queued::done;
  const std::optional<std::uint32_t> key = event.event_key;
  if (!key) {
    report_event(report_warning, "The eventlog record %u has no event key at data offset %d. It is not logged.", n,
                 get_unique_id_position());
    return queued::done;
  }
  interface_entry* entry = find_interface(*key);
  if (entry == nullptr) {
    const std::uint16_t location = key_location(*key);
    if (std::find(rescanned.begin(), rescanned.end(), location) == rescanned.end()) {
      rescanned.push_back(location);
      (void)build_interface_table(1, *key);
      entry = find_interface(*key);
    }
    if (entry == nullptr) {
      report_unlogged_record(event, "no adapter is found at that location");
      return queued::done;
    }
  }
  while (get_busy(entry) == 1) {
    if (!wait_for_writer_unless_watch_ends(busy_wait_ms)) {
      report_unlogged_record(event, "the service stopped before it was written");
      return queued::watch_ends;
    }
  }
  // A full queue takes no more: the record is read again once the writer has
  // made room, so that none is lost and each adapter's stay in record order.
  if (get_queue_count(entry) >= max_queue_count) {
    std::vector<deferred_record> deferred = get_deferred_records();
    deferred.push_back({n, key_location(*key), mark.digest});
    set_deferred_records(std::move(deferred));
    return queued::deferred;
  }
  (void)enqueue_record(entry, std::move(event));
  return queued::done;
}

/// Starts a writer for every adapter with queued records and none at work:
/// those in the table in table order, then those removed since their records
/// were queued (their file needs no device). writer_watch_ends when the
/// watch must end; 0 otherwise.
int start_writers(bool wait_for_busy) {
  for (interface_entry* entry = get_interface_table(); entry != nullptr; entry = get_next(entry)) {
    while (wait_for_busy && get_busy(entry) == 1) {
      if (!wait_for_writer_unless_watch_ends(busy_wait_ms)) return writer_watch_ends;
    }
    if (get_busy(entry) == 0 && get_queue_count(entry) > 0 && start_writer(entry) == writer_watch_ends) {
      return writer_watch_ends;
    }
  }
  for (interface_entry* entry : get_removed_entries()) {
    if (get_busy(entry) == 0 && get_queue_count(entry) > 0 && start_writer(entry) == writer_watch_ends) {
      return writer_watch_ends;
    }
  }
  return 0;
}

/// Whether every writer slot is free: no writer is at work.
bool writers_at_rest() {
  auto* table = get_thread_manager_table();
  if (table == nullptr) return true;
  for (thread_slot& slot : *table) {
    if (get_slot_taken(&slot)) return false;
  }
  return true;
}

/// Says what the stop leaves unwritten: every record left in the log for a
/// full queue, and every record still queued, on the adapters in the table
/// and on those removed.
void report_unwritten_records() {
  for (const deferred_record& r : get_deferred_records()) {
    report_unlogged_record(r.number, r.location, "the service stopped before it was written");
  }
  set_deferred_records({});
  std::vector<interface_entry*> entries = get_removed_entries();
  for (interface_entry* entry = get_interface_table(); entry != nullptr; entry = get_next(entry)) {
    entries.push_back(entry);
  }
  for (interface_entry* entry : entries) {
    std::vector<driver_event> left;
    for_each_queued_record(entry, [&left](const driver_event& event) { left.push_back(event); });
    for (const driver_event& event : left) report_unlogged_record(event, "the service stopped before it was written");
  }
}

/// A capture thread that says when its body has returned, so that a stop
/// can tell a thread at rest from one held inside a driver exchange.
struct capture_thread {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);

  [[nodiscard]] bool at_rest() const { return !thread.joinable() || done->load(); }
  /// Joins a thread at rest; leaves one that is not to end with the process.
  /// true when joined (or never started).
  bool join_or_leave() {
    if (!thread.joinable()) return true;
    if (done->load()) {
      thread.join();
      return true;
    }
    thread.detach();
    return false;
  }
};

/// The notify and retry threads, started by the watch.
struct capture_threads {
  capture_thread notify;
  capture_thread retry;
};

template <class Body>
int start_capture_thread(const char* which, capture_thread& slot, Body body) {
  try {
    if (thread_start_refused(which)) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    slot.thread = std::thread([done = slot.done, body = std::move(body), which] {
      try {
        body();
      } catch (const std::bad_alloc&) {
        report_event(report_error, "Unable to allocate memory for the %s thread.", which);
      }
      done->store(true);
    });
  } catch (const std::system_error&) {
    // _beginthreadex gives 0 when it cannot start the thread.
    report_event(report_error, "_beginthreadex() error returned. Return code is %d.", 0);
    return 1;
  }
  return 0;
}

/// Ends the capture within get_stop_drain_ms(): the watch is over, writers
/// finish the records already queued, and near the bound every thread is told
/// to halt. Threads at rest are joined; one still held inside a driver
/// exchange at the bound is left behind. Then the records still queued are
/// reported. true when every thread was joined (the store may be torn down).
bool bring_capture_to_rest(capture_threads& threads) {
  request_watch_end();
  using clock = std::chrono::steady_clock;
  const auto drain = std::chrono::milliseconds(std::max<std::int32_t>(get_stop_drain_ms(), 0));
  const auto started = clock::now();
  const auto halt_at = started + drain - drain / 10;
  const auto give_up_at = started + drain;
  const auto all_at_rest = [&threads] {
    return threads.notify.at_rest() && threads.retry.at_rest() && writers_at_rest();
  };
  // Records queued by a pass that the stop cut short get their writers too.
  (void)start_writers(false);
  while (!all_at_rest() && clock::now() < halt_at) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  request_capture_stop();
  while (!all_at_rest() && clock::now() < give_up_at) std::this_thread::sleep_for(std::chrono::milliseconds(20));

  bool joined = threads.notify.join_or_leave();
  joined = threads.retry.join_or_leave() && joined;
  joined = join_writers_at_rest() && joined;
  report_unwritten_records();
  return joined;
}

void watch(capture_threads& threads) {
  if (start_capture() != 0 || watch_ending()) return;
  startup_scan();
  if (watch_ending()) return;

  std::shared_ptr<platform::event_handle> event(platform::create_event(notify_event_name));
  if (!event) {
    report_event(report_error, "Unable to create event handle for notify change eventlog.");
    return;
  }
  set_notify_event(event);
  // Declared after the event, so it is closed first: the event must outlive
  // the reader that signals it.
  std::unique_ptr<platform::event_log_reader> reader = platform::host_event_logs().open_log(system_log_name);
  if (!reader) {
    report_event(report_error, "Unable to open eventlog.");
    return;
  }
  if (!reader->notify_change(*event)) {
    report_event(report_error, "NotifyChangeEventLog() error returned. Return code is %d.", 0);
    return;
  }
  if (start_capture_thread("notify", threads.notify, [event] { notify_thread(event); }) != 0) return;
  if (start_capture_thread("retry", threads.retry, [] { retry_thread(); }) != 0) return;

  while (!watch_ending()) {
    if (event->wait(win::infinite) != win::wait_object_0 || watch_ending()) break;
    int result = pass_deferred;
    // A pass that left records in the log for a full queue, having queued
    // others, is followed at once by the next: it waits for the writer.
    while (result == pass_deferred && !watch_ending()) {
      std::lock_guard<std::mutex> guard(get_dispatch_lock());
      result = dispatch_pass();
    }
    if (result == 1) break;
  }
}

}  // namespace

unsigned worker_thread(const std::function<void()>& post_quit) {
  create_store_locks();
  capture_threads threads;
  try {
    watch(threads);
  } catch (const std::bad_alloc&) {
    report_event(report_error, "Unable to allocate memory for the watch.");
  }
  if (bring_capture_to_rest(threads)) {
    // Every other capture thread has been joined: nothing uses the store now.
    set_notify_event(nullptr);
    teardown_store();
    destroy_store_locks();
  }
  // Otherwise a thread held by the driver may still use the store: it is left
  // as it is, and ends with the process.
  clear_capture_stop();
  if (post_quit) post_quit();
  return 0;
}

void stop_watch() {
  request_watch_end();
  if (std::shared_ptr<platform::event_handle> event = get_notify_event()) event->set();
}

int start_capture() {
  (void)read_configuration();
  if (!take_log_as_seen()) return 1;
  if (build_interface_table(0, 0) != 0) return 1;
  if (load_error_list(error_name_list) != 0 || load_error_list(error_level_list) != 0) return 1;
  if (build_thread_manager_table() != 0) return 1;
  return 0;
}

bool take_log_as_seen() {
  log_span span;
  if (!read_log_span(span)) return false;
  // An empty log that will start at 1 gives 0, so that its first record is
  // not taken as seen.
  const std::uint32_t newest = span_newest(span);
  set_last_record_number(static_cast<std::int32_t>(newest));
  set_deferred_records({});
  const std::unique_ptr<event_record> record = span_holds(span, newest) ? read_record(newest) : nullptr;
  set_last_record_mark(span_holds(span, newest) ? mark_of(record.get()) : record_mark{record_mark::held::none});
  return true;
}

bool read_log_span(log_span& out) {
  std::unique_ptr<platform::event_log_reader> reader = platform::host_event_logs().open_log(system_log_name);
  if (!reader) return false;
  return reader->number_of_records(out.count) && reader->oldest_record_number(out.oldest);
}

std::int64_t newest_record_number() {
  log_span span;
  if (!read_log_span(span)) return -1;
  return span_newest(span);
}

std::int64_t oldest_record_number() {
  std::unique_ptr<platform::event_log_reader> reader = platform::host_event_logs().open_log(system_log_name);
  std::uint32_t oldest = 0;
  if (!reader || !reader->oldest_record_number(oldest)) return -1;
  return oldest;
}

namespace {

/// read_record's steps. With `pass_span` (the span a pass read at its start)
/// the log is asked only for its oldest number, as the record reader always
/// has been: while that is unchanged, the pass's span says whether the log
/// holds the record. Without one, or once the oldest has moved (a clear or an
/// overrun during the pass), the log is asked for its span, or the record is
/// looked for without one.
std::unique_ptr<event_record> read_one_record(std::uint32_t number, const log_span* pass_span, read_fault* fault) {
  std::unique_ptr<platform::event_log_reader> reader = platform::host_event_logs().open_log(system_log_name);
  if (!reader) return nullptr;
  std::unique_ptr<event_record> probe = make_buffer(1);
  if (!probe) {
    report_event(report_error, "Unable to allocate memory for eventlog record table.(1st time)");
    return nullptr;
  }
  log_span span;
  bool known = false;
  if (pass_span != nullptr) {
    known = reader->oldest_record_number(span.oldest) && span.oldest == pass_span->oldest;
    if (known) span = *pass_span;
  } else {
    known = reader->number_of_records(span.count) && reader->oldest_record_number(span.oldest);
  }
  if (known && !span_holds(span, number)) return nullptr;
  // From here on the log has said it holds the record (or could not say):
  // whatever keeps it from being read loses it, and is told to the caller.
  const auto failed = [&](std::uint32_t error, std::uint32_t got) -> std::unique_ptr<event_record> {
    if (fault != nullptr && !fault->seen) *fault = read_fault{true, number, error, got};
    return nullptr;
  };
  std::uint32_t bytes_read = 0;
  std::uint32_t bytes_needed = 0;
  // No record fits one byte: only "insufficient buffer" tells its size.
  const std::uint32_t probed = reader->read(probe_flags, number, probe->data(), 1, bytes_read, bytes_needed);
  if (probed != win::error_insufficient_buffer) {
    // When the log could not say what it holds, a number it does not hold
    // is no fault; nor is one that a clear during the pass took away.
    if (probed == win::error_invalid_parameter || probed == win::error_handle_eof) {
      if (!known) return nullptr;
      log_span now;
      if (pass_span != nullptr && reader->number_of_records(now.count) && reader->oldest_record_number(now.oldest) &&
          !span_holds(now, number)) {
        return nullptr;
      }
    }
    return failed(probed, 0);
  }
  if (bytes_needed == 0 || bytes_needed > max_record_size) return failed(win::error_invalid_data, 0);
  probe.reset();
  std::unique_ptr<event_record> record = make_buffer(bytes_needed);
  if (!record) {
    report_event(report_error, "Unable to allocate memory for eventlog record table.(2nd time)");
    return nullptr;
  }
  std::uint32_t again_needed = 0;
  const std::uint32_t read = reader->read(read_flags, 0, record->data(), bytes_needed, bytes_read, again_needed);
  if (read != win::error_success) return failed(read, 0);
  if (bytes_read == 0 || bytes_read > bytes_needed) return failed(win::error_invalid_data, 0);
  record->resize(bytes_read);
  // The log may have changed between the probe and the read; a record other
  // than the one asked for would be dispatched twice or out of turn.
  const std::uint32_t got = record_number(*record).value_or(0);
  if (got != number) return failed(win::error_success, got);
  return record;
}

}  // namespace

std::unique_ptr<event_record> read_record(std::uint32_t number, read_fault* fault) {
  return read_one_record(number, nullptr, fault);
}

void report_read_fault(const read_fault& fault) {
  if (!fault.seen) return;
  if (fault.error != win::error_success) {
    report_event(report_error, "Unable to read eventlog record %u. Return code is %u.", fault.number, fault.error);
  } else {
    report_event(report_error, "Unable to read eventlog record %u. The eventlog gave record %u instead.", fault.number,
                 fault.got);
  }
}

int dispatch_pass() {
  log_span span;
  // A log that cannot be asked, or holds nothing, leaves last_record_number as
  // it is: the next pass that can read the log goes on from there. A pass runs
  // only when the log has changed, so a damaged log is said once per change.
  if (!read_log_span(span)) {
    report_event(report_error, "Unable to read eventlog.");
    return 0;
  }
  settle_deferred_records(span);
  if (span.count == 0) return 0;
  const std::uint32_t newest = span_newest(span);
  const std::uint32_t last = last_dispatched();
  // A last record no longer in the log, or another record under its number,
  // means the log was cleared (or ran past it): everything it holds is new.
  const bool goes_on = log_goes_on(span, last);
  if (newest == last && goes_on) return 0;
  const std::uint32_t first = goes_on ? advance_record_number(last, 1) : span_first(span);
  const std::uint32_t total = record_distance(first, newest) + 1;
  // The newest number whose record has had its turn, and what tells that
  // record apart; a record left for a full queue and everything after it are
  // read again by the next pass.
  std::uint32_t dispatched = newest;
  record_mark dispatched_mark;
  record_mark previous_mark;
  bool deferred = false;
  bool progressed = false;
  read_fault fault;
  std::vector<std::uint16_t> rescanned;
  std::uint32_t n = first;
  for (std::uint32_t i = 0; i < total; ++i, n = advance_record_number(n, 1)) {
    if (watch_ending()) return 1;
    forget_deferred_record(n);
    record_mark mark;
    const queued result = queue_record(span, n, fault, rescanned, mark);
    if (result == queued::watch_ends) return 1;
    if (result == queued::deferred) {
      deferred = true;
      // Left at the first record read: the number before it. In a log found
      // cleared that is not `last`, which named a record of the old log: it
      // becomes a number the new log does not hold, so that a log holding it
      // later is known for another one.
      if (i > 0) {
        dispatched = advance_record_number(first, i - 1);
        dispatched_mark = previous_mark;
      } else if (!goes_on) {
        dispatched = first == 1 ? 0 : first - 1;
        dispatched_mark = record_mark{record_mark::held::none};
      } else {
        dispatched = last;
        dispatched_mark = get_last_record_mark();
      }
      break;
    }
    previous_mark = mark;
    dispatched_mark = mark;
    progressed = true;
  }
  // Said once a pass: a log that cannot be read is likely to fail every record.
  report_read_fault(fault);
  if (start_writers(true) == writer_watch_ends) return 1;
  release_removed_entries();
  set_last_record_number(static_cast<std::int32_t>(dispatched));
  set_last_record_mark(dispatched_mark);
  return deferred && progressed ? pass_deferred : 0;
}

bool log_has_news() {
  log_span span;
  if (!read_log_span(span)) return false;
  // A record left for a full queue is due again, or lost to a clear.
  if (!get_deferred_records().empty()) return true;
  if (span.count == 0) return false;
  const std::uint32_t last = last_dispatched();
  return span_newest(span) != last || !log_goes_on(span, last);
}

void notify_thread(std::shared_ptr<platform::event_handle> event) {
  while (sleep_unless_watch_ends(get_notify_cycle_ms())) {
    std::lock_guard<std::mutex> guard(get_dispatch_lock());
    if (log_has_news()) event->set();
  }
}

}  // namespace kvx::logd
