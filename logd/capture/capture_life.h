// The life of the capture's threads, in one place: how the worker, the notify
// thread, the retry thread and the writers start, come to rest and stop, and
// what becomes of a driver record in flight in each phase of a stop.
//
// The phase is one value (capture_phase, kept in the store's life record) and
// moves only forward, running -> draining -> halting, until the worker sets it
// back to running as its very last step:
//
//   running   The watch runs. Each change of the System log starts a dispatch
//             pass, which queues the new records and starts the writers; a
//             writer writes every queued record, waiting out the driver's
//             busy answers; the notify and retry threads run their cycles.
//
//   draining  A stop, a system shutdown or the watch's own end was asked
//             (stop_watch, stop_watch_within). No change starts a pass any
//             more. A pass under way goes on to its end, waiting for busy
//             writers as it must; then the worker runs one last pass, which
//             reads the System log up to its newest record at that moment
//             (again, without reading further, while a full queue holds
//             records back). Every record those passes read is queued and
//             written by the writers, through busy retries, within the bound.
//             The notify and retry threads and the startup scan come to rest
//             at once (the slots they have not logged stay with the driver,
//             for the next start's scan). A record written to the log after
//             the last pass began is the next start's: that start takes the
//             log as seen, and its scan logs the record's slot, which the
//             driver still holds.
//
//   halting   Nine tenths of the bound have passed. Driver pauses end at once
//             (a request still busy fails); writers stop between two entries;
//             a pass still reading reads on to its end but queues nothing:
//             each record it would have queued is reported. At the bound the
//             worker joins every thread at rest and leaves behind one still
//             held inside a driver exchange (the store then stays, and ends
//             with the process). Then every record still queued, or left in
//             the log for a full queue, is reported.
//
// A record is reported at most once, with its number and its adapter's
// location: "The eventlog record N of the adapter at location LLLL is not
// logged: the service stopped before it was written." No record is reported
// while the bound still leaves time to write it.
//
// One condition variable (the life record's `changed`) says both that the
// phase moved and that a capture thread came to rest; every wait of the
// capture's threads for either is on it, with its lock taken alone.
#pragma once

#include <cstdint>
#include <functional>

#include "logd/state_store.h"

namespace kvx::logd {

/// The phase now (draining turns into halting once nine tenths of the bound
/// have passed, whoever asks first).
[[nodiscard]] capture_phase get_capture_phase();

/// Running to draining, with the bound get_stop_drain_ms() from now; a drain
/// under way keeps its own (earlier) bound.
void request_watch_end();
/// As request_watch_end, with at most `bound_ms` from now: a drain under way
/// with a later bound is brought forward to it.
void request_watch_end_within(std::int32_t bound_ms);
/// Halting at once (and so past draining).
void request_capture_stop();
/// Back to running, for the next start; the worker's last step.
void clear_capture_stop();
/// The phase is draining or halting.
[[nodiscard]] bool watch_ending();
/// The phase is halting.
[[nodiscard]] bool capture_stopping();

/// A capture thread is about to start (the worker counts it at work until it
/// says note_thread_at_rest); the notify and retry threads and every writer.
void note_thread_started();
/// Every capture thread says so as its last step (a writer once it has set
/// its entry's busy back to 0), and so does a start the system refused.
void note_thread_at_rest();

/// What start_writer did.
enum class writer_start {
  started,           ///< the writer runs, in its slot, with `busy` 1
  no_block_or_slot,  ///< no argument block could be had, or no slot was free: nothing was taken
  refused,           ///< the system refused the thread: reported, slot and `busy` given back
};

/// For an entry whose `busy` is 0 and whose queue is not empty: takes a free
/// slot, sets its owner, `busy` 1 and the slot's thread, and starts the
/// writer (writer_thread, logd/capture/writer_thread.h). Runs on the worker thread
/// only (the one that joins writers). Unless it started, the records stay
/// queued; the dispatch pass ends the watch on no_block_or_slot and leaves
/// them for its next pass on refused.
[[nodiscard]] writer_start start_writer(interface_entry* entry);

/// Joins every writer that has been started, waiting for those at work.
/// Worker thread only.
void join_writers();
/// Joins every writer that has come to rest (its slot is free); one that is
/// still at work (held inside a driver exchange past the stop's bound) is
/// detached instead. Whether every one was joined. Worker thread only, once
/// the capture has been told to stop.
[[nodiscard]] bool join_writers_at_rest();

/// Pauses for up to `milliseconds`, ending early when the watch ends (or has
/// ended). Whether the watch still runs.
[[nodiscard]] bool sleep_unless_watch_ends(std::int32_t milliseconds);
/// As above, but the pause goes on through draining and ends at halting.
/// Whether the capture is still short of halting.
[[nodiscard]] bool sleep_unless_stopping(std::int32_t milliseconds);
/// A dispatch pass waiting for a busy writer: returns when a capture thread
/// has come to rest, or after `milliseconds`. Whether the capture is still
/// short of halting.
[[nodiscard]] bool wait_for_writer_unless_stopping(std::int32_t milliseconds);
/// Runs the whole capture on the calling thread: start, startup scan, the
/// notify and retry threads, the watch, and at its end (a failure, or a stop
/// asked for) the drain described above. Then it tears the store down, when
/// no thread was left behind, and calls post_quit(). Returns 0.
unsigned worker_thread(const std::function<void()>& post_quit);

/// Any thread, any time, even before worker_thread has begun: asks the capture
/// to drain and end within get_stop_drain_ms().
void stop_watch();
/// As stop_watch, within at most `bound_ms` (a system shutdown's wait).
void stop_watch_within(std::int32_t bound_ms);

}  // namespace kvx::logd
