#include "logd/capture/interface_table.h"

#include <cstring>
#include <mutex>
#include <new>

#include "adapter/port_probe.h"
#include "logd/capture/service_requests.h"
#include "logd/driver_record.h"
#include "logd/output/report_event.h"

namespace kvx::logd {
namespace {

/// A new entry, complete except for its link; null after a reported failure.
std::unique_ptr<interface_entry> make_entry(const char* name, std::uint32_t location) {
  std::unique_ptr<interface_entry> entry(new (std::nothrow) interface_entry());
  if (!entry) {
    report_event(report_error, "Unable to allocate memory for Bus/Dev/Func table.");
    return nullptr;
  }
  try {
    entry->symbolic_link_name.assign(name, strnlen(name, adapter::port_name_size));
  } catch (const std::bad_alloc&) {
    report_event(report_error, "Unable to allocate memory for symbolic link name.");
    return nullptr;
  }
  entry->bus_dev_func = static_cast<std::int32_t>(location);
  return entry;
}

/// Appends at the tail. The link is the last thing stored, so a walker either
/// sees no new entry or a complete one.
void link_at_tail(interface_entry* entry) {
  std::lock_guard<std::mutex> guard(get_table_change_lock());
  if (interface_entry* last = last_interface()) {
    set_next(last, entry);
  } else {
    set_interface_table(entry);
  }
}

}  // namespace

int build_interface_table(int mode, std::uint32_t event_key) {
  for (int port = 0; port <= adapter::max_scsi_port; ++port) {
    char name[adapter::port_name_size] = {};
    if (adapter::probe_scsi_port(port, name, adapter::name_form::device) != 0) continue;
    std::uint32_t location = 0;
    if (request_pci_location(name, location) != 0) continue;
    if (mode == 1 && location_of_key(location) != location_of_key(event_key)) continue;
    std::unique_ptr<interface_entry> entry = make_entry(name, location);
    if (!entry) return 1;
    link_at_tail(adopt_interface_entry(std::move(entry)));
  }
  return 0;
}

interface_entry* last_interface() {
  interface_entry* entry = get_interface_table();
  if (entry == nullptr) return nullptr;
  while (interface_entry* next = get_next(entry)) entry = next;
  return entry;
}

interface_entry* find_interface(std::uint32_t event_key) {
  const table_walk walking;
  for (interface_entry* entry = get_interface_table(); entry != nullptr; entry = get_next(entry)) {
    if (location_of_key(static_cast<std::uint32_t>(get_bus_dev_func(entry))) == location_of_key(event_key)) {
      return entry;
    }
  }
  return nullptr;
}

void remove_interface(const std::string& name) {
  std::lock_guard<std::mutex> guard(get_table_change_lock());
  interface_entry* previous = nullptr;
  for (interface_entry* entry = get_interface_table(); entry != nullptr; entry = get_next(entry)) {
    if (get_symbolic_link_name(entry) != name) {
      previous = entry;
      continue;
    }
    // The entry keeps its own `next`, so a walker standing on it goes on to
    // the entries that followed it.
    set_removed(entry, true);
    if (previous != nullptr) {
      set_next(previous, get_next(entry));
    } else {
      set_interface_table(get_next(entry));
    }
    return;
  }
}

void release_queue(std::unique_ptr<queue_node> first) {
  while (first) first = std::move(first->next);
}

int enqueue_record(interface_entry* entry, driver_event event) {
  const std::int32_t count = get_queue_count(entry);
  queue_node* last = nullptr;
  for (queue_node* node = get_queue_head(entry); node != nullptr; node = get_node_next(node)) last = node;
  std::unique_ptr<queue_node> node(new (std::nothrow) queue_node());
  if (!node) {
    report_event(report_warning, "Unable to allocate memory for eventlog buffer.");
    return 1;
  }
  node->event = std::move(event);
  if (count == 0 || last == nullptr) {
    set_queue_head(entry, std::move(node));
  } else {
    set_node_next(last, std::move(node));
  }
  set_queue_count(entry, count + 1);
  return 0;
}

void report_unlogged_record(const driver_event& event, const char* reason) {
  report_unlogged_record(event.number, location_of_key(event.event_key.value_or(0)), reason);
}

void report_unlogged_record(std::uint32_t number, adapter_location location, const char* reason) {
  report_event(report_warning, "The eventlog record %u of the adapter at location %04x is not logged: %s.", number,
               location, reason);
}

int build_thread_manager_table() {
  std::unique_ptr<std::array<thread_slot, thread_slot_count>> table(new (std::nothrow)
                                                                        std::array<thread_slot, thread_slot_count>());
  if (!table) {
    report_event(report_error, "Unable to allocate memory for thread manager table.");
    return 1;
  }
  set_thread_manager_table(std::move(table));
  return 0;
}

thread_slot* find_free_slot() {
  auto* table = get_thread_manager_table();
  if (table == nullptr) return nullptr;
  for (thread_slot& slot : *table) {
    if (!get_slot_taken(&slot)) return &slot;
  }
  return nullptr;
}

int release_slot(interface_entry* entry) {
  auto* table = get_thread_manager_table();
  // A null entry would match every free slot.
  if (table == nullptr || entry == nullptr) return 1;
  for (thread_slot& slot : *table) {
    if (get_slot_owner(&slot) != entry) continue;
    // The owner goes first: the dispatch pass takes a slot as soon as it
    // reads free, and must not have its new owner cleared.
    set_slot_owner(&slot, nullptr);
    set_slot_taken(&slot, false);
    return 0;
  }
  return 1;
}

}  // namespace kvx::logd
