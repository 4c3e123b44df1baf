#include "logd/watcher.h"

#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

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

/// Reads record `n` and, when it is a kvxwdd record to be logged, queues it
/// to its adapter (after a rescan for an adapter not yet in the table). 1 only
/// when the capture is stopping while it waits for the adapter's writer.
int queue_record(std::uint32_t n) {
  std::unique_ptr<event_record> record = read_record(n);
  if (!record || !is_driver_record(*record)) return 0;
  const std::optional<std::int32_t> status = read_status_word(*record);
  if (!status) {
    report_event(report_warning, "The eventlog record %u is too short for its status word. It is not logged.", n);
    return 0;
  }
  if (classify_status(*status) == status_class_ignored) return 0;
  const std::optional<std::uint32_t> key = read_event_key(*record);
  if (!key) {
    report_event(report_warning, "The eventlog record %u has no event key at data offset %d. It is not logged.", n,
                 get_unique_id_position());
    return 0;
  }
  interface_entry* entry = find_interface(*key);
  if (entry == nullptr) {
    (void)build_interface_table(1, *key);
    entry = find_interface(*key);
    if (entry == nullptr) return 0;
  }
  while (get_busy(entry) == 1) {
    if (!sleep_unless_stopping(busy_wait_ms)) return 1;
  }
  (void)enqueue_record(entry, std::move(record));
  return 0;
}

/// Records queued to an entry after it was removed are never written; they
/// are dropped here, once no writer works on the entry. Only the dispatch pass
/// appends to queues and starts writers, so `busy` 0 cannot change under it.
void drop_removed_queues() {
  for (interface_entry* entry : get_removed_entries()) {
    if (get_busy(entry) != 0 || get_queue_count(entry) == 0) continue;
    release_queue(take_queue_head(entry));
    set_queue_count(entry, 0);
  }
}

/// The notify and retry threads, started by the watch. Whatever way the watch
/// ends, they and every writer are brought to rest and joined here.
struct capture_threads {
  std::thread notify;
  std::thread retry;

  capture_threads() = default;
  capture_threads(const capture_threads&) = delete;
  capture_threads& operator=(const capture_threads&) = delete;
  ~capture_threads() {
    request_capture_stop();
    if (notify.joinable()) notify.join();
    if (retry.joinable()) retry.join();
    join_writers();
  }
};

template <class Body>
int start_capture_thread(const char* which, std::thread& thread, Body body) {
  const capture_seams seams = get_capture_seams();
  try {
    if (seams.thread_start_refused && seams.thread_start_refused(which)) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    thread = std::thread(std::move(body));
  } catch (const std::system_error& failure) {
    report_event(report_error, "_beginthreadex() error returned. Return code is %d.", failure.code().value());
    return 1;
  }
  return 0;
}

void watch(capture_threads& threads) {
  if (start_capture() != 0 || capture_stopping()) return;
  startup_scan();
  if (capture_stopping()) return;

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

  while (!capture_stopping()) {
    if (event->wait(win::infinite) != win::wait_object_0 || capture_stopping()) break;
    int result = 0;
    {
      std::lock_guard<std::mutex> guard(get_dispatch_lock());
      result = dispatch_pass();
    }
    if (result != 0) break;
  }
}

}  // namespace

unsigned worker_thread(const std::function<void()>& post_quit) {
  create_store_locks();
  {
    capture_threads threads;
    watch(threads);
  }
  // Every other capture thread has been joined: nothing uses the store now.
  set_notify_event(nullptr);
  teardown_store();
  destroy_store_locks();
  clear_capture_stop();
  if (post_quit) post_quit();
  return 0;
}

void stop_watch() {
  request_capture_stop();
  if (std::shared_ptr<platform::event_handle> event = get_notify_event()) event->set();
}

int start_capture() {
  (void)read_configuration();
  log_span span;
  if (!read_log_span(span)) return 1;
  // Records already in the log are never dispatched. An empty log that will
  // start at 1 gives 0, so that its first record is not taken as seen.
  set_last_record_number(static_cast<std::int32_t>(span_newest(span)));
  if (build_interface_table(0, 0) != 0) return 1;
  if (load_error_list(error_name_list) != 0 || load_error_list(error_level_list) != 0) return 1;
  if (build_thread_manager_table() != 0) return 1;
  return 0;
}

bool read_log_span(log_span& out) {
  std::unique_ptr<platform::event_log_reader> reader = platform::host_event_logs().open_log(system_log_name);
  if (!reader) return false;
  return reader->number_of_records(out.count) && reader->oldest_record_number(out.oldest);
}

std::int64_t newest_record_number() {
  log_span span;
  if (!read_log_span(span)) return -1;
  if (span.oldest == 0) return 1;
  return span_newest(span);
}

std::int64_t oldest_record_number() {
  std::unique_ptr<platform::event_log_reader> reader = platform::host_event_logs().open_log(system_log_name);
  std::uint32_t oldest = 0;
  if (!reader || !reader->oldest_record_number(oldest)) return -1;
  return oldest;
}

std::unique_ptr<event_record> read_record(std::uint32_t number) {
  std::unique_ptr<platform::event_log_reader> reader = platform::host_event_logs().open_log(system_log_name);
  if (!reader) return nullptr;
  std::unique_ptr<event_record> probe = make_buffer(1);
  if (!probe) {
    report_event(report_error, "Unable to allocate memory for eventlog record table.(1st time)");
    return nullptr;
  }
  log_span span;
  if (reader->number_of_records(span.count) && reader->oldest_record_number(span.oldest) && !span_holds(span, number)) {
    return nullptr;
  }
  std::uint32_t bytes_read = 0;
  std::uint32_t bytes_needed = 0;
  // No record fits one byte: only "insufficient buffer" tells its size. A
  // number the log does not hold is no fault; anything else (a damaged log)
  // loses this record and is said.
  const std::uint32_t probed = reader->read(probe_flags, number, probe->data(), 1, bytes_read, bytes_needed);
  if (probed != win::error_insufficient_buffer && probed != win::error_invalid_parameter &&
      probed != win::error_handle_eof) {
    report_event(report_error, "Unable to read eventlog record %u. Return code is %u.", number, probed);
  }
  if (probed != win::error_insufficient_buffer || bytes_needed == 0 || bytes_needed > max_record_size) {
    return nullptr;
  }
  probe.reset();
  std::unique_ptr<event_record> record = make_buffer(bytes_needed);
  if (!record) {
    report_event(report_error, "Unable to allocate memory for eventlog record table.(2nd time)");
    return nullptr;
  }
  std::uint32_t again_needed = 0;
  if (reader->read(read_flags, 0, record->data(), bytes_needed, bytes_read, again_needed) != win::error_success ||
      bytes_read == 0 || bytes_read > bytes_needed) {
    return nullptr;
  }
  record->resize(bytes_read);
  // The log may have changed between the probe and the read; a record other
  // than the one asked for would be dispatched twice or out of turn.
  if (record_number(*record) != number) return nullptr;
  return record;
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
  if (span.count == 0) return 0;
  const std::uint32_t newest = span_newest(span);
  const std::uint32_t last = last_dispatched();
  if (newest == last) return 0;
  // A last record no longer in the log means the log was cleared (or ran
  // past it): everything it holds now is new.
  const std::uint32_t first = span_holds(span, last) ? advance_record_number(last, 1) : span_first(span);
  const std::uint32_t total = record_distance(first, newest) + 1;
  std::uint32_t n = first;
  for (std::uint32_t i = 0; i < total; ++i, n = advance_record_number(n, 1)) {
    if (capture_stopping() || queue_record(n) != 0) return 1;
  }

  for (interface_entry* entry = get_interface_table(); entry != nullptr; entry = get_next(entry)) {
    while (get_busy(entry) == 1) {
      if (!sleep_unless_stopping(busy_wait_ms)) return 1;
    }
    if (get_queue_count(entry) > 0 && start_writer(entry) == writer_watch_ends) return 1;
  }
  drop_removed_queues();
  set_last_record_number(static_cast<std::int32_t>(newest));
  return 0;
}

void notify_thread(std::shared_ptr<platform::event_handle> event) {
  while (sleep_unless_stopping(get_notify_cycle_ms())) {
    std::lock_guard<std::mutex> guard(get_dispatch_lock());
    log_span span;
    if (read_log_span(span) && span.count > 0 && span_newest(span) != last_dispatched()) event->set();
  }
}

}  // namespace kvx::logd
