// The per-adapter writer threads: one at a time per adapter (its `busy` flag),
// each started by the dispatch pass in a free slot of thread_manager_table
// (start_writer, logd/capture/capture_life.h).
#pragma once

#include <memory>

#include "logd/state_store.h"

namespace kvx::logd {

/// The block a writer thread is started with; the thread owns it.
struct thread_args {
  interface_entry* entry = nullptr;
};

/// The writer's body: one detail request, then write_log_entry for each queued
/// record in order. The records written are taken out of the queue and
/// released; on a failed write, or when the capture is stopping, the record
/// and those behind it stay queued for a later writer. Then it frees its slot
/// and clears `busy`, in that order.
void writer_thread(std::unique_ptr<thread_args> args);

}  // namespace kvx::logd
