// The watch of the System log: the start-up sequence, the dispatch pass that
// hands new kvxwdd records to the adapters' queues, and the notify thread that
// wakes the worker when the log has grown. The worker thread itself, and what
// a stop does with the records in flight, are in logd/capture/capture_life.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "logd/record_numbers.h"
#include "logd/state_store.h"

namespace kvx::platform {
class event_handle;
}

namespace kvx::logd {

inline constexpr const char* notify_event_name = "velmora_kvxwdd_hbalogd_notify_event";
inline constexpr const char* system_log_name = "System";
/// Larger records are taken for a broken log and skipped.
inline constexpr std::uint32_t max_record_size = 16u << 20;
/// The longest the dispatch pass waits at once for an adapter's busy writer, in
/// milliseconds; it looks again as soon as any writer ends.
inline constexpr std::int32_t busy_wait_ms = 100;

/// The start-up sequence: configuration, starting point, adapter table,
/// lists, thread table. 0, or 1 at the first failure (nothing after it runs).
[[nodiscard]] int start_capture();

/// A record that the System log says it holds but that could not be read:
/// the first of a pass, for one report.
struct read_fault {
  bool noted = false;  ///< a fault is held: the fields below are the first one
  std::uint32_t number = 0;
  std::uint32_t error = 0;  ///< the system error; 0 when the log gave another record
  std::uint32_t got = 0;    ///< the number of the record the log gave instead
};

/// One record by number: a size probe, then a read of exactly that size, on
/// one open of the log. Null when the record is not there or not readable (the
/// two allocation failures are reported; a record the log holds that cannot
/// be read is noted in `fault`, when one is given and holds nothing yet).
std::unique_ptr<event_record> read_record(std::uint32_t number, read_fault* fault = nullptr);
/// Reports the fault `fault` holds, if any (an error in the Application log).
void report_read_fault(const read_fault& fault);

/// The start's rule: the records the log holds now are taken as seen. Their
/// newest becomes the last dispatched number, with what tells that record
/// apart (record_mark); no record is deferred. 0, or 1 when the log cannot be
/// asked (nothing is changed).
[[nodiscard]] int take_log_as_seen();

/// Oldest number and count into `out` on one open and close of the System
/// log. 0, or 1 when the log does not open or either query fails.
[[nodiscard]] int read_log_span(log_span& out);
/// -1 when the log cannot be asked; otherwise span_newest: the newest
/// record's number (oldest + count - 1 on the number ring), or for an empty
/// log the number before its next record (0 when it will start at 1).
[[nodiscard]] std::int64_t newest_record_number();
/// -1 when the log cannot be asked; otherwise the oldest number.
[[nodiscard]] std::int64_t oldest_record_number();

/// What a dispatch pass did.
enum class pass_result {
  done,        ///< over: the next pass waits for a change of the log or the notify cycle
  deferred,    ///< it queued records, then left one for a full queue in the log: the next pass is due at once
  watch_ends,  ///< a writer could not be given a block or a slot: the watch must end
};

/// Runs with dispatch_lock held. Queues every record after last_record_number
/// (from the oldest when the log no longer holds that record under it),
/// having first said the records it left for a full queue that the log has
/// lost since (get_deferred_records). Then it starts the
/// writers, and stores the newest number dispatched. A record whose adapter's
/// queue is full ends the queuing: it and the records after it stay in the
/// log for the next pass (a pass that queued none before it gives done, so
/// that a queue its writer cannot empty does not spin the worker). While the
/// capture drains, the pass goes on waiting for busy writers; once it halts,
/// the pass reads on but queues nothing and reports each record it would have
/// queued. A pass whose log query fails changes nothing.
[[nodiscard]] pass_result dispatch_pass();
/// A stop's last pass: as dispatch_pass, reading no record after `until`,
/// which the first such pass sets to the log's newest number.
[[nodiscard]] pass_result last_dispatch_pass(std::optional<std::uint32_t>& until);

/// Says what the stop leaves unwritten: every record left in the log for a
/// full queue, and every record still queued, on the adapters in the table
/// and on those removed; each once.
void report_unwritten_records();

/// With dispatch_lock held: whether a pass has work, because the log's newest
/// record is not the last dispatched one, the log is another one (cleared and
/// written again up to that number), or a record left for a full queue waits.
[[nodiscard]] bool log_has_news();

/// The notify thread's body: every notify cycle, under dispatch_lock, signals
/// `event` when log_has_news(). Returns when the capture is asked to stop.
void notify_thread(std::shared_ptr<platform::event_handle> event);

}  // namespace kvx::logd
