// The per-adapter writer threads: one at a time per adapter (its `busy` flag),
// each started by the dispatch pass in a free slot of thread_manager_table.
#pragma once

#include <memory>

#include "logd/state_store.h"

namespace kvx::logd {

/// The block a writer thread is started with; the thread owns it.
struct thread_args {
  interface_entry* entry = nullptr;
};

/// Results of start_writer.
inline constexpr int writer_started = 0;
/// No argument block or no free slot: the watch must end (as the dispatch
/// pass gives 1). Nothing was taken.
inline constexpr int writer_watch_ends = 1;
/// The system refused the thread: reported, slot and `busy` given back, the
/// records stay queued for the next pass.
inline constexpr int writer_not_started = 2;

/// For an entry whose `busy` is 0 and whose queue is not empty: takes a free
/// slot, sets its owner, `busy` 1 and the slot's thread, and starts the
/// writer. Runs on the worker thread only (the one that joins writers).
[[nodiscard]] int start_writer(interface_entry* entry);

/// The writer's body: one detail request, then write_log_entry for each queued
/// record in order. The records written are taken out of the queue and
/// released; on a failed write, or when the capture is stopping, the record
/// and those behind it stay queued for a later writer. Then it frees its slot
/// and clears `busy`, in that order.
void writer_thread(std::unique_ptr<thread_args> args);

/// Joins every writer that has been started, waiting for those at work.
/// Worker thread only.
void join_writers();
/// Joins every writer that has come to rest (its slot is free); one that is
/// still at work (held inside a driver exchange past the stop's bound) is
/// detached instead. true when all were joined. Worker thread only, once the
/// capture has been told to stop.
[[nodiscard]] bool join_writers_at_rest();

}  // namespace kvx::logd
