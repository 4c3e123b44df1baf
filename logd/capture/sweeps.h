// The sweeps that log detail data the driver holds without a record.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "logd/state_store.h"

namespace kvx::logd {

/// Drains every adapter once, before the watch begins (worker thread).
void startup_scan();
/// The retry thread's body: every retry cycle, drains adapters whose bitmap
/// stayed the same. Returns when the capture is asked to stop.
void retry_thread();
/// Logs an adapter's occupied slots with a synthetic record until none is left
/// (within drain_adapter_bitmap's bounds).
void drain_adapter(interface_entry* entry);

/// A drain writes at most this many entries: a driver that keeps a slot
/// occupied after it was handed back would otherwise be logged for ever.
inline constexpr int drain_entry_limit = 16 * 4;

/// drain_adapter, giving the bitmap bytes of the last reply (0, 0 when the
/// drain ran to the end or no reply came); never none, as a synthetic record
/// is always made. The drain also ends early when an entry cannot be written
/// (the slot stays occupied and is tried again at the next cycle), when the
/// limit is reached (reported once) and when the capture is stopping.
std::optional<std::array<std::uint8_t, 2>> drain_adapter_bitmap(interface_entry* entry);

/// One pass of the retry thread over the adapter table (without its pause).
void retry_pass();

}  // namespace kvx::logd
