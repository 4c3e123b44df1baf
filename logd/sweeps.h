// The sweeps that log detail data the driver holds without a record.
#pragma once

#include "logd/state_store.h"

namespace kvx::logd {

/// Drains every adapter once, before the watch begins (worker thread).
void startup_scan();
/// The retry thread's body: every retry cycle, drains adapters whose bitmap
/// stayed the same. Returns when the capture is asked to stop.
void retry_thread();
/// Logs an adapter's occupied slots with a synthetic record until none is left.
void drain_adapter(interface_entry* entry);

}  // namespace kvx::logd
