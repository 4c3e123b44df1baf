// The per-adapter writer threads: one at a time per adapter (its `busy` flag),
// each started by the dispatch pass in a free slot of thread_manager_table
// (start_writer, logd/capture/capture_life.h).
#pragma once

#include <memory>

#include "logd/state_store.h"

namespace kvx::logd {

/// What a writer thread is started with: one field, the adapter entry it
/// writes for. It is a block, not the entry itself, because a thread is
/// started with one block that it owns: start_writer allocates it and hands
/// it over, writer_thread releases it.
struct thread_args {
  interface_entry* entry = nullptr;  ///< the entry whose queued records this writer writes; not owned
};

/// The writer's body: one detail request, then write_log_entry for each queued
/// record in order. The records written are taken out of the queue and
/// released; on a failed write, or when the capture is stopping, the record
/// and those behind it stay queued for a later writer. Then it frees its slot
/// and clears `busy`, in that order. Owns `args`, released before `busy` drops.
void writer_thread(std::unique_ptr<thread_args> args);

}  // namespace kvx::logd
