#include "logd/capture/watcher.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "logd/capture/capture_life.h"
#include "logd/capture/interface_table.h"
#include "logd/capture/writer_thread.h"
#include "logd/driver_record.h"
#include "logd/output/configuration.h"
#include "logd/output/error_lists.h"
#include "logd/output/report_event.h"
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

/// read_record, for the pass too. With `pass_span` (the span a pass read at
/// its start) the log is asked only for its oldest number, as the record
/// reader always has been: while that is unchanged, the pass's span says
/// whether the log holds the record. Without one, or once the oldest has
/// moved (a clear or an overrun during the pass), the log is asked for its
/// span, or the record is looked for without one.
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
    if (fault != nullptr && !fault->noted) *fault = read_fault{true, number, error, got};
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

std::uint32_t last_dispatched() { return static_cast<std::uint32_t>(get_last_record_number()); }

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
  const std::unique_ptr<event_record> record = read_one_record(last, nullptr, nullptr);
  return !record || record_digest(*record) == mark.digest;
}

/// What became of one record number in a pass.
enum class record_turn {
  dealt_with,   ///< queued, reported as not logged, or not one to be logged
  left_in_log,  ///< its adapter's queue is full: it stays in the log for the next pass
};

/// The pass reads `number` again: it is no longer one left in the log.
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
      const std::unique_ptr<event_record> record = read_one_record(r.number, nullptr, nullptr);
      if (!record || record_digest(*record) == r.digest) {
        kept.push_back(r);
        continue;
      }
    }
    report_unlogged_record(r.number, r.location, "the eventlog was cleared before it was written");
  }
  if (kept.size() != records.size()) set_deferred_records(std::move(kept));
}

/// Reads record `n` of the pass over `span` and, when it is a kvxwdd record to
/// be logged, queues it to its adapter (after one rescan per pass for a
/// location not in the table). `mark` tells the record read apart, for the
/// pass's last number.
record_turn queue_record(const log_span& span, std::uint32_t n, read_fault& fault,
                         std::vector<adapter_location>& rescanned, record_mark& mark) {
  const std::unique_ptr<event_record> record = read_one_record(n, &span, &fault);
  mark = mark_of(record.get());
  if (!record || !is_driver_record(*record)) return record_turn::dealt_with;
  driver_event event = decode_driver_record(*record);
  if (!event.status) {
    report_event(report_warning, "The eventlog record %u is too short for its status word. It is not logged.", n);
    return record_turn::dealt_with;
  }
  if (classify_status(*event.status) == status_class_ignored) return record_turn::dealt_with;
  const std::optional<std::uint32_t> key = event.event_key;
  if (!key) {
    report_event(report_warning, "The eventlog record %u has no event key at data offset %d. It is not logged.", n,
                 get_unique_id_position());
    return record_turn::dealt_with;
  }
  interface_entry* entry = find_interface(*key);
  if (entry == nullptr) {
    const adapter_location location = location_of_key(*key);
    if (std::find(rescanned.begin(), rescanned.end(), location) == rescanned.end()) {
      rescanned.push_back(location);
      (void)build_interface_table(1, *key);
      entry = find_interface(*key);
    }
    if (entry == nullptr) {
      report_unlogged_record(event, "no adapter is found at that location");
      return record_turn::dealt_with;
    }
  }
  // The writer owns the queue while it works. A stop lets it finish; only a
  // capture that halts ends the wait, and the record is then said here.
  while (get_busy(entry) == 1 && wait_for_writer_unless_stopping(busy_wait_ms)) {
  }
  if (capture_stopping()) {
    report_unlogged_record(event, "the service stopped before it was written");
    return record_turn::dealt_with;
  }
  // The one check of the queue's bound (enqueue_record relies on it): a full
  // queue takes no more, and the record is read again once the writer has
  // made room, so that none is lost and each adapter's stay in record order.
  if (get_queue_count(entry) >= max_queue_count) {
    std::vector<deferred_record> deferred = get_deferred_records();
    deferred.push_back({n, location_of_key(*key), mark.digest});
    set_deferred_records(std::move(deferred));
    return record_turn::left_in_log;
  }
  (void)enqueue_record(entry, std::move(event));
  return record_turn::dealt_with;
}

/// Starts a writer for every adapter with queued records and none at work:
/// those in the table in table order, then those removed since their records
/// were queued (their file needs no device). A capture that halts starts no
/// writer: what is queued then is said at the stop's bound.
/// 0, or 1 when a writer could not be given a block or a slot (the watch
/// must end).
[[nodiscard]] int start_writers() {
  for (interface_entry* entry = get_interface_table(); entry != nullptr; entry = get_next(entry)) {
    while (get_busy(entry) == 1 && wait_for_writer_unless_stopping(busy_wait_ms)) {
    }
    if (capture_stopping()) return 0;
    if (get_busy(entry) == 0 && get_queue_count(entry) > 0 && start_writer(entry) == writer_start::no_block_or_slot) {
      return 1;
    }
  }
  for (interface_entry* entry : get_removed_entries()) {
    if (capture_stopping()) return 0;
    if (get_busy(entry) == 0 && get_queue_count(entry) > 0 && start_writer(entry) == writer_start::no_block_or_slot) {
      return 1;
    }
  }
  return 0;
}

/// dispatch_pass, reading no record after `until` when one is given (and
/// setting it, when it holds none yet, to the log's newest number).
pass_result run_pass(std::optional<std::uint32_t>* until) {
  log_span span;
  // A log that cannot be asked, or holds nothing, leaves last_record_number as
  // it is: the next pass that can read the log goes on from there. A pass runs
  // only when the log has changed, so a damaged log is said once per change.
  if (read_log_span(span) != 0) {
    report_event(report_error, "Unable to read eventlog.");
    return pass_result::done;
  }
  if (until != nullptr && !until->has_value()) *until = span_newest(span);
  settle_deferred_records(span);
  if (span.count == 0) return pass_result::done;
  std::uint32_t newest = span_newest(span);
  const std::uint32_t last = last_dispatched();
  // A last record no longer in the log, or another record under its number,
  // means the log was cleared (or ran past it): everything it holds is new.
  const bool goes_on = log_goes_on(span, last);
  // A stop's last passes read up to the newest record at the first of them.
  if (until != nullptr && goes_on && record_distance(last, **until) <= record_distance(last, newest)) {
    newest = **until;
  }
  if (newest == last && goes_on) return pass_result::done;
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
  std::vector<adapter_location> rescanned;
  std::uint32_t n = first;
  for (std::uint32_t i = 0; i < total; ++i, n = advance_record_number(n, 1)) {
    forget_deferred_record(n);
    record_mark mark;
    if (queue_record(span, n, fault, rescanned, mark) == record_turn::left_in_log) {
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
  if (start_writers() != 0) return pass_result::watch_ends;
  release_removed_entries();
  set_last_record_number(static_cast<std::int32_t>(dispatched));
  set_last_record_mark(dispatched_mark);
  return deferred && progressed ? pass_result::deferred : pass_result::done;
}

}  // namespace

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

int start_capture() {
  (void)read_configuration();
  if (take_log_as_seen() != 0) return 1;
  if (build_interface_table(0, 0) != 0) return 1;
  if (load_error_list(error_name_list) != 0 || load_error_list(error_level_list) != 0) return 1;
  if (build_thread_manager_table() != 0) return 1;
  return 0;
}

int take_log_as_seen() {
  log_span span;
  if (read_log_span(span) != 0) return 1;
  // An empty log that will start at 1 gives 0, so that its first record is
  // not taken as seen.
  const std::uint32_t newest = span_newest(span);
  set_last_record_number(static_cast<std::int32_t>(newest));
  set_deferred_records({});
  const std::unique_ptr<event_record> record = span_holds(span, newest) ? read_record(newest) : nullptr;
  set_last_record_mark(span_holds(span, newest) ? mark_of(record.get()) : record_mark{record_mark::held::none});
  return 0;
}

int read_log_span(log_span& out) {
  std::unique_ptr<platform::event_log_reader> reader = platform::host_event_logs().open_log(system_log_name);
  if (!reader) return 1;
  return reader->number_of_records(out.count) && reader->oldest_record_number(out.oldest) ? 0 : 1;
}

std::int64_t newest_record_number() {
  log_span span;
  if (read_log_span(span) != 0) return -1;
  return span_newest(span);
}

std::int64_t oldest_record_number() {
  std::unique_ptr<platform::event_log_reader> reader = platform::host_event_logs().open_log(system_log_name);
  std::uint32_t oldest = 0;
  if (!reader || !reader->oldest_record_number(oldest)) return -1;
  return oldest;
}

std::unique_ptr<event_record> read_record(std::uint32_t number, read_fault* fault) {
  return read_one_record(number, nullptr, fault);
}

void report_read_fault(const read_fault& fault) {
  if (!fault.noted) return;
  if (fault.error != win::error_success) {
    report_event(report_error, "Unable to read eventlog record %u. Return code is %u.", fault.number, fault.error);
  } else {
    report_event(report_error, "Unable to read eventlog record %u. The eventlog gave record %u instead.", fault.number,
                 fault.got);
  }
}

pass_result dispatch_pass() { return run_pass(nullptr); }

pass_result last_dispatch_pass(std::optional<std::uint32_t>& until) { return run_pass(&until); }

bool log_has_news() {
  log_span span;
  if (read_log_span(span) != 0) return false;
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
