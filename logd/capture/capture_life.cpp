#include "logd/capture/capture_life.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "logd/capture/capture_hooks.h"
#include "logd/capture/interface_table.h"
#include "logd/capture/sweeps.h"
#include "logd/capture/watcher.h"
#include "logd/capture/writer_thread.h"
#include "logd/output/report_event.h"
#include "platform/event_log.h"
#include "platform/host.h"
#include "platform/sync.h"
#include "platform/win_codes.h"

namespace kvx::logd {
namespace {

using clock_type = std::chrono::steady_clock;

capture_life_record& life() { return get_capture_life_record(); }

/// With the life lock held: the phase, turned to halting once its moment has
/// come (and every waiter told).
capture_phase phase_now(capture_life_record& r) {
  if (r.phase == capture_phase::draining && clock_type::now() >= r.halt_at) {
    r.phase = capture_phase::halting;
    r.changed.notify_all();
  }
  return r.phase;
}

/// Waits on the life record until `done` holds or `until` has passed. A wait
/// while draining also ends at the halting moment, so that the phase moves on
/// time even when no thread asks for it.
template <class Done>
void wait_on_life(clock_type::time_point until, Done done) {
  capture_life_record& r = life();
  std::unique_lock<std::mutex> hold(r.lock);
  for (;;) {
    (void)phase_now(r);
    if (done(r)) return;
    clock_type::time_point wake = until;
    if (r.phase == capture_phase::draining) wake = std::min(wake, r.halt_at);
    if (clock_type::now() >= wake) {
      if (wake == until) return;
      continue;  // the halting moment: the phase moves, and `done` is asked again
    }
    r.changed.wait_until(hold, wake);
  }
}

clock_type::time_point after(std::int32_t milliseconds) {
  return clock_type::now() + std::chrono::milliseconds(std::max<std::int32_t>(milliseconds, 0));
}

/// Draining from now within `bound_ms` (halting at nine tenths of it), or a
/// drain under way brought forward to that bound when it ends later.
void drain_within(std::int32_t bound_ms) {
  const auto now = clock_type::now();
  const auto bound = std::chrono::milliseconds(std::max<std::int32_t>(bound_ms, 0));
  const auto end_at = now + bound;
  const auto halt_at = end_at - bound / 10;
  capture_life_record& r = life();
  {
    const std::lock_guard<std::mutex> hold(r.lock);
    if (r.phase == capture_phase::running) {
      r.phase = capture_phase::draining;
      r.halt_at = halt_at;
      r.end_at = end_at;
    } else {
      r.end_at = std::min(r.end_at, end_at);
      if (r.phase == capture_phase::draining) r.halt_at = std::min(r.halt_at, halt_at);
    }
  }
  r.changed.notify_all();
}

std::uint64_t rests_so_far() {
  const std::lock_guard<std::mutex> hold(life().lock);
  return life().rests;
}

clock_type::time_point stop_bound() {
  const std::lock_guard<std::mutex> hold(life().lock);
  return life().end_at;
}

}  // namespace

capture_phase get_capture_phase() {
  const std::lock_guard<std::mutex> hold(life().lock);
  return phase_now(life());
}

void request_watch_end() { drain_within(get_stop_drain_ms()); }

void request_watch_end_within(std::int32_t bound_ms) { drain_within(std::min(bound_ms, get_stop_drain_ms())); }

void request_capture_stop() {
  const std::int32_t drain_ms = get_stop_drain_ms();
  capture_life_record& r = life();
  {
    const std::lock_guard<std::mutex> hold(r.lock);
    if (r.phase == capture_phase::running) {
      // Straight to halting: the threads get the halting tenth of a bound.
      r.end_at = after(drain_ms / 10);
    }
    r.phase = capture_phase::halting;
    r.halt_at = clock_type::now();
  }
  r.changed.notify_all();
}

void clear_capture_stop() {
  capture_life_record& r = life();
  {
    const std::lock_guard<std::mutex> hold(r.lock);
    r.phase = capture_phase::running;
  }
  r.changed.notify_all();
}

bool watch_ending() { return get_capture_phase() != capture_phase::running; }

bool capture_stopping() { return get_capture_phase() == capture_phase::halting; }

bool sleep_unless_watch_ends(std::int32_t milliseconds) {
  wait_on_life(after(milliseconds), [](const capture_life_record& r) { return r.phase != capture_phase::running; });
  return !watch_ending();
}

bool sleep_unless_stopping(std::int32_t milliseconds) {
  wait_on_life(after(milliseconds), [](const capture_life_record& r) { return r.phase == capture_phase::halting; });
  return !capture_stopping();
}

bool wait_for_writer_unless_stopping(std::int32_t milliseconds) {
  const std::uint64_t seen = rests_so_far();
  wait_on_life(after(milliseconds),
               [seen](const capture_life_record& r) { return r.rests != seen || r.phase == capture_phase::halting; });
  return !capture_stopping();
}

void note_thread_started() {
  const std::lock_guard<std::mutex> hold(life().lock);
  ++life().at_work;
}

void note_thread_at_rest() {
  capture_life_record& r = life();
  {
    const std::lock_guard<std::mutex> hold(r.lock);
    --r.at_work;
    ++r.rests;
  }
  r.changed.notify_all();
}

writer_start start_writer(interface_entry* entry) {
  std::unique_ptr<thread_args> args(new (std::nothrow) thread_args());
  if (!args) {
    report_event(report_error, "Unable to allocate memory for thread args table.");
    return writer_start::no_block_or_slot;
  }
  args->entry = entry;
  thread_slot* slot = find_free_slot();
  if (slot == nullptr) return writer_start::no_block_or_slot;

  // The previous writer of this slot freed it but may still be on its last
  // steps; a std::thread must be joined before it is replaced.
  (void)join_slot_thread(slot);

  // All three are in place before the writer can reach its end.
  set_slot_owner(slot, entry);
  set_busy(entry, 1);
  set_slot_taken(slot, true);
  note_thread_started();
  try {
    if (thread_start_refused("writer")) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    set_slot_thread(slot, std::thread(writer_thread, std::move(args)));
  } catch (const std::exception&) {
    // std::system_error when the system refuses the thread, std::bad_alloc
    // when its state cannot be had: either way no writer runs.
    // Undone in release_slot's order, then `busy`, so that the next pass may
    // start a writer for these records again.
    set_slot_owner(slot, nullptr);
    set_slot_taken(slot, false);
    set_busy(entry, 0);
    note_thread_at_rest();
    // _beginthread gives -1 when it cannot start the thread.
    report_event(report_error, "_beginthread() error returned. Return code is %d.", -1);
    return writer_start::refused;
  }
  return writer_start::started;
}

void join_writers() {
  auto* table = get_thread_manager_table();
  if (table == nullptr) return;
  for (thread_slot& slot : *table) (void)join_slot_thread(&slot);
}

bool join_writers_at_rest() {
  auto* table = get_thread_manager_table();
  if (table == nullptr) return true;
  bool joined = true;
  // A free slot's writer has done its last step; one still in its slot is
  // held inside a driver exchange and is left to end with the process.
  for (thread_slot& slot : *table) joined = join_slot_thread(&slot, true) && joined;
  return joined;
}

namespace {

/// The notify or the retry thread, with what tells it at rest: its body has
/// returned.
struct capture_thread {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> body_returned = std::make_shared<std::atomic<bool>>(false);

  /// Joins a thread at rest; leaves one that is not to end with the process.
  /// Whether it was joined (or never started).
  bool join_or_leave() {
    if (!thread.joinable()) return true;
    if (body_returned->load()) {
      thread.join();
      return true;
    }
    thread.detach();
    return false;
  }
};

struct capture_threads {
  capture_thread notify;
  capture_thread retry;
};

/// Starts the notify or the retry thread (`which`) in `slot`, running `body`.
/// 0, or 1 when the system refused it (reported).
template <class Body>
int start_capture_thread(const char* which, capture_thread& slot, Body body) {
  try {
    note_thread_started();
    if (thread_start_refused(which)) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    slot.thread = std::thread([body_returned = slot.body_returned, body = std::move(body), which] {
      try {
        body();
      } catch (const std::bad_alloc&) {
        report_event(report_error, "Unable to allocate memory for the %s thread.", which);
      }
      body_returned->store(true);
      note_thread_at_rest();
    });
  } catch (const std::exception&) {
    // Refused by the system (std::system_error) or without memory for its
    // state (std::bad_alloc): no thread runs.
    note_thread_at_rest();
    // _beginthreadex gives 0 when it cannot start the thread.
    report_event(report_error, "_beginthreadex() error returned. Return code is %d.", 0);
    return 1;
  }
  return 0;
}

enum class watch_end {
  failed,  ///< the start or the watch failed: nothing more is read
  asked,   ///< a stop was asked for: the last pass follows
};

/// Running: the start-up sequence, the startup scan, the notify and retry
/// threads, then a dispatch pass for each change until the watch ends.
watch_end watch(capture_threads& threads) {
  if (start_capture() != 0) return watch_end::failed;
  if (watch_ending()) return watch_end::asked;
  startup_scan();
  if (watch_ending()) return watch_end::asked;

  std::shared_ptr<platform::event_handle> event(platform::create_event(notify_event_name));
  if (!event) {
    report_event(report_error, "Unable to create event handle for notify change eventlog.");
    return watch_end::failed;
  }
  set_notify_event(event);
  // Declared after the event, so it is closed first: the event must outlive
  // the reader that signals it.
  std::unique_ptr<platform::event_log_reader> reader = platform::host_event_logs().open_log(system_log_name);
  if (!reader) {
    report_event(report_error, "Unable to open eventlog.");
    return watch_end::failed;
  }
  if (!reader->notify_change(*event)) {
    report_event(report_error, "NotifyChangeEventLog() error returned. Return code is %d.", 0);
    return watch_end::failed;
  }
  if (start_capture_thread("notify", threads.notify, [event] { notify_thread(event); }) != 0) {
    return watch_end::failed;
  }
  if (start_capture_thread("retry", threads.retry, [] { retry_thread(); }) != 0) return watch_end::failed;

  while (!watch_ending()) {
    if (event->wait(win::infinite) != win::wait_object_0) return watch_end::failed;
    pass_result result = pass_result::deferred;
    // A pass that left records in the log for a full queue, having queued
    // others, is followed at once by the next: it waits for the writer. Once
    // the watch ends, the last passes take over.
    while (result == pass_result::deferred && !watch_ending()) {
      const std::lock_guard<std::mutex> guard(get_dispatch_lock());
      result = dispatch_pass();
    }
    if (result == pass_result::watch_ends) return watch_end::failed;
  }
  return watch_end::asked;
}

/// Draining: the last passes read the log up to its newest record at the
/// first of them, as long as a full queue holds records back and the capture
/// has not begun to halt. `until` keeps that newest number.
void last_passes(std::optional<std::uint32_t>& until) {
  pass_result result = pass_result::deferred;
  while (result == pass_result::deferred && !capture_stopping()) {
    const std::lock_guard<std::mutex> guard(get_dispatch_lock());
    result = last_dispatch_pass(until);
  }
}

/// Waits until every capture thread is at rest or `until` has passed.
void wait_for_rest(clock_type::time_point until) {
  wait_on_life(until, [](const capture_life_record& r) { return r.at_work <= 0; });
}

/// Draining, then halting, to the bound: writers finish the queues; threads at
/// rest are joined and one still held inside a driver exchange is left.
/// Whether every thread was joined (the store may be torn down).
bool bring_capture_to_rest(capture_threads& threads) {
  wait_for_rest(stop_bound());
  request_capture_stop();
  bool joined = threads.notify.join_or_leave();
  joined = threads.retry.join_or_leave() && joined;
  joined = join_writers_at_rest() && joined;
  return joined;
}

}  // namespace

unsigned worker_thread(const std::function<void()>& post_quit) {
  capture_threads threads;
  watch_end end = watch_end::failed;
  std::optional<std::uint32_t> until;
  try {
    end = watch(threads);
    // A watch that ends by itself drains too, from now.
    request_watch_end();
    if (end == watch_end::asked) last_passes(until);
  } catch (const std::bad_alloc&) {
    report_event(report_error, "Unable to allocate memory for the watch.");
    request_watch_end();
  }
  const bool joined = bring_capture_to_rest(threads);
  try {
    if (end == watch_end::asked) {
      // Halting: what the last passes have not read up to their newest
      // record is read now and reported, each record once.
      const std::lock_guard<std::mutex> guard(get_dispatch_lock());
      (void)last_dispatch_pass(until);
    }
    report_unwritten_records();
  } catch (const std::bad_alloc&) {
    report_event(report_error, "Unable to allocate memory for the watch.");
  }
  if (joined) {
    // Every other capture thread has been joined: nothing uses the store now.
    set_notify_event(nullptr);
    teardown_store();
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

void stop_watch_within(std::int32_t bound_ms) {
  request_watch_end_within(bound_ms);
  if (std::shared_ptr<platform::event_handle> event = get_notify_event()) event->set();
}

}  // namespace kvx::logd
