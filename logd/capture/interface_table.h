// The adapter table, the record queues and the writer-thread slots.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "logd/state_store.h"

namespace kvx::logd {

/// Mode 0: every kvxwdd port. Mode 1: only the port whose location matches the
/// low 16 bits of `event_key`. 0 on success, 1 on an allocation failure.
[[nodiscard]] int build_interface_table(int mode, std::uint32_t event_key);
/// The last entry of the table; null when it is empty.
interface_entry* last_interface();
/// The first linked entry whose bus_dev_func matches the key in its low 16
/// bits; null when none does.
interface_entry* find_interface(std::uint32_t event_key);
/// Unlinks the first entry named `name`. The entry (and its queue) stays
/// usable by threads still holding it; records queued on it are still written
/// (by its writer, or one the dispatch pass starts), and it is released once
/// no thread can hold it (release_removed_entries).
void remove_interface(const std::string& name);
/// Releases every node of a queue, `first` and those it owns (iteratively: a
/// long chain cannot exhaust the stack).
void release_queue(std::unique_ptr<queue_node> first);
/// Appends the event to the entry's queue, which takes it. 0, or 1 when no
/// node could be had (reported; the event is released). The caller keeps the
/// queue's bound: the dispatch pass offers a queue holding max_queue_count
/// records none, and leaves the record in the log for its next pass.
int enqueue_record(interface_entry* entry, driver_event event);

/// Reports (warning) a driver record that will not become an entry: its
/// number, its adapter's location and `reason`.
void report_unlogged_record(const driver_event& event, const char* reason);
/// As above, for a record known by its number and its adapter's location.
void report_unlogged_record(std::uint32_t number, adapter_location location, const char* reason);
/// The table of thread_slot_count free slots, into the store. 0, or 1 on an
/// allocation failure (reported).
[[nodiscard]] int build_thread_manager_table();
/// The first free slot in index order; null when every slot is taken (or
/// there is no table).
thread_slot* find_free_slot();
/// Frees the first slot owned by `entry`, owner first. 0 when one was freed,
/// 1 when none was.
int release_slot(interface_entry* entry);

/// The most records an adapter's queue holds.
inline constexpr std::int32_t max_queue_count = 16;

}  // namespace kvx::logd
