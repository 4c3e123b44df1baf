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
interface_entry* last_interface();
/// The first linked entry whose bus_dev_func matches the key in its low 16 bits.
interface_entry* find_interface(std::uint32_t event_key);
/// Unlinks the first entry named `name`. The entry (and its queue) stays
/// usable by threads still holding it; records queued on it are still written
/// (by its writer, or one the dispatch pass starts), and it is released once
/// no thread can hold it (release_removed_entries).
void remove_interface(const std::string& name);
/// Releases every node of a queue (iteratively: a long chain cannot exhaust the stack).
void release_queue(std::unique_ptr<queue_node> first);
/// The event moves into the queue; 0, or 1 when no node could be had. A queue
/// that holds 16 records takes no more: the record is reported and released
/// (0). The dispatch pass never offers a full queue a record.
int enqueue_record(interface_entry* entry, driver_event event);

/// Reports (warning) a driver record that will not become an entry: its
/// number, its adapter's location and `reason`.
void report_unlogged_record(const driver_event& event, const char* reason);
void report_unlogged_record(std::uint32_t number, adapter_location location, const char* reason);
[[nodiscard]] int build_thread_manager_table();
thread_slot* find_free_slot();
/// 0 when a slot owned by `entry` was freed, 1 when none was.
int release_slot(interface_entry* entry);

inline constexpr std::int32_t max_queue_count = 16;

}  // namespace kvx::logd
