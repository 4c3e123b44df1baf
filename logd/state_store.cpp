#include "logd/state_store.h"

#include <map>
#include <utility>

#include "platform/sync.h"

namespace kvx::logd {
namespace {

// The locks have static storage: an accessor can never meet a lock that has
// not been made yet or has already been freed.
std::mutex state_lock;
std::mutex dispatch_lock;
std::mutex table_change_lock;

struct store_items {
  std::int32_t max_retry_count = 300;
  std::int32_t retry_frequency = 1;
  std::int32_t unique_id_position = 40;
  std::int32_t dump_data_size = 104;
  std::int32_t error_log_size = 1024;
  std::int32_t max_error_log_count = 16;
  std::int32_t max_record_count = 4096;
  std::int32_t last_record_number = 0;
  record_mark last_record_mark;
  std::vector<deferred_record> deferred;
  std::int32_t retry_cycle_ms = 60000;
  std::int32_t notify_cycle_ms = 5000;
  std::int32_t stop_drain_ms = 20000;
  std::int32_t table_walks = 0;
  std::shared_ptr<platform::event_handle> notify_event;
  std::optional<std::string> error_log_file_path =
      std::string("C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\log");
  std::optional<std::string> error_log_list_path = std::string("C:\\Program Files\\velmora\\drivers\\hba\\hbalogd");
  std::unique_ptr<std::vector<name_entry>> name_table;
  std::int32_t name_count = 0;
  std::unique_ptr<std::vector<level_entry>> level_table;
  std::int32_t level_count = 0;
  interface_entry* interface_table = nullptr;
  std::vector<std::unique_ptr<interface_entry>> all_entries;
  std::unique_ptr<std::array<thread_slot, thread_slot_count>> thread_table;
  std::map<adapter_location, std::unique_ptr<std::mutex>> log_locks;
  std::map<std::string, std::unique_ptr<std::mutex>> device_locks;
};

store_items& items() {
  static store_items s;
  return s;
}

template <class T>
T load(const T& item) {
  std::lock_guard<std::mutex> guard(state_lock);
  return item;
}

template <class T, class V>
void store(T& item, V&& value) {
  std::lock_guard<std::mutex> guard(state_lock);
  item = std::forward<V>(value);
}

}  // namespace

std::mutex& get_dispatch_lock() { return dispatch_lock; }

#define KVX_SCALAR_ACCESSORS(name)                         \
  std::int32_t get_##name() { return load(items().name); } \
  void set_##name(std::int32_t value) { store(items().name, value); }

KVX_SCALAR_ACCESSORS(max_retry_count)
KVX_SCALAR_ACCESSORS(retry_frequency)
KVX_SCALAR_ACCESSORS(unique_id_position)
KVX_SCALAR_ACCESSORS(dump_data_size)
KVX_SCALAR_ACCESSORS(error_log_size)
KVX_SCALAR_ACCESSORS(max_error_log_count)
KVX_SCALAR_ACCESSORS(max_record_count)
KVX_SCALAR_ACCESSORS(retry_cycle_ms)
KVX_SCALAR_ACCESSORS(notify_cycle_ms)
KVX_SCALAR_ACCESSORS(stop_drain_ms)
#undef KVX_SCALAR_ACCESSORS

std::int32_t get_last_record_number() { return load(items().last_record_number); }
void set_last_record_number(std::int32_t value) {
  std::lock_guard<std::mutex> guard(state_lock);
  items().last_record_number = value;
  items().last_record_mark = record_mark{};
}
record_mark get_last_record_mark() { return load(items().last_record_mark); }
void set_last_record_mark(const record_mark& mark) { store(items().last_record_mark, mark); }
std::vector<deferred_record> get_deferred_records() { return load(items().deferred); }
void set_deferred_records(std::vector<deferred_record> records) { store(items().deferred, std::move(records)); }

capture_life_record& get_capture_life_record() {
  static auto* record = new capture_life_record;
  return *record;
}

std::shared_ptr<platform::event_handle> get_notify_event() { return load(items().notify_event); }
void set_notify_event(std::shared_ptr<platform::event_handle> event) {
  std::shared_ptr<platform::event_handle> old;
  {
    std::lock_guard<std::mutex> guard(state_lock);
    old = std::exchange(items().notify_event, std::move(event));
  }
}

std::mutex& get_table_change_lock() { return table_change_lock; }

std::vector<interface_entry*> get_removed_entries() {
  std::lock_guard<std::mutex> guard(state_lock);
  std::vector<interface_entry*> removed;
  for (const auto& entry : items().all_entries) {
    if (entry->removed) removed.push_back(entry.get());
  }
  return removed;
}

table_walk::table_walk() {
  std::lock_guard<std::mutex> guard(state_lock);
  ++items().table_walks;
}

table_walk::~table_walk() {
  std::lock_guard<std::mutex> guard(state_lock);
  --items().table_walks;
}

void release_removed_entries() {
  std::vector<std::unique_ptr<interface_entry>> released;
  {
    std::lock_guard<std::mutex> guard(state_lock);
    store_items& s = items();
    if (s.table_walks != 0) return;
    const auto owns_a_slot = [&s](const interface_entry* e) {
      if (!s.thread_table) return false;
      for (const thread_slot& slot : *s.thread_table) {
        if (slot.owner == e) return true;
      }
      return false;
    };
    auto& all = s.all_entries;
    for (auto it = all.begin(); it != all.end();) {
      const interface_entry* e = it->get();
      if (e->removed && e->busy == 0 && !e->queue_head && !owns_a_slot(e)) {
        released.push_back(std::move(*it));
        it = all.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Destroyed outside the lock.
}

std::optional<std::string> get_error_log_file_path() { return load(items().error_log_file_path); }
void set_error_log_file_path(std::optional<std::string> value) { store(items().error_log_file_path, std::move(value)); }
std::optional<std::string> get_error_log_list_path() { return load(items().error_log_list_path); }
void set_error_log_list_path(std::optional<std::string> value) { store(items().error_log_list_path, std::move(value)); }

void set_errorlist_name_table(std::unique_ptr<std::vector<name_entry>> table) {
  store(items().name_table, std::move(table));
}
const std::vector<name_entry>* get_errorlist_name_table() {
  std::lock_guard<std::mutex> guard(state_lock);
  return items().name_table.get();
}
std::int32_t get_errorlist_name_count() { return load(items().name_count); }
void set_errorlist_name_count(std::int32_t value) { store(items().name_count, value); }
void set_errorlist_level_table(std::unique_ptr<std::vector<level_entry>> table) {
  store(items().level_table, std::move(table));
}
const std::vector<level_entry>* get_errorlist_level_table() {
  std::lock_guard<std::mutex> guard(state_lock);
  return items().level_table.get();
}
std::int32_t get_errorlist_level_count() { return load(items().level_count); }
void set_errorlist_level_count(std::int32_t value) { store(items().level_count, value); }

interface_entry* get_interface_table() { return load(items().interface_table); }
void set_interface_table(interface_entry* first) { store(items().interface_table, first); }

interface_entry* adopt_interface_entry(std::unique_ptr<interface_entry> entry) {
  std::lock_guard<std::mutex> guard(state_lock);
  interface_entry* raw = entry.get();
  items().all_entries.push_back(std::move(entry));
  return raw;
}

std::string get_symbolic_link_name(const interface_entry* e) { return load(e->symbolic_link_name); }
std::int32_t get_bus_dev_func(const interface_entry* e) { return load(e->bus_dev_func); }
void set_bus_dev_func(interface_entry* e, std::int32_t value) { store(e->bus_dev_func, value); }
std::int32_t get_busy(const interface_entry* e) { return load(e->busy); }
void set_busy(interface_entry* e, std::int32_t value) { store(e->busy, value); }
queue_node* get_queue_head(const interface_entry* e) {
  std::lock_guard<std::mutex> guard(state_lock);
  return e->queue_head.get();
}
void set_queue_head(interface_entry* e, std::unique_ptr<queue_node> head) {
  std::unique_ptr<queue_node> old;
  {
    std::lock_guard<std::mutex> guard(state_lock);
    old = std::exchange(e->queue_head, std::move(head));
  }
  // The displaced queue is released outside the lock.
}
std::unique_ptr<queue_node> take_queue_head(interface_entry* e) {
  std::lock_guard<std::mutex> guard(state_lock);
  return std::move(e->queue_head);
}
std::int32_t get_queue_count(const interface_entry* e) { return load(e->queue_count); }
void set_queue_count(interface_entry* e, std::int32_t value) { store(e->queue_count, value); }
std::int32_t get_log_record_count(const interface_entry* e) { return load(e->log_record_count); }
void set_log_record_count(interface_entry* e, std::int32_t value) { store(e->log_record_count, value); }
std::int32_t get_log_write_offset(const interface_entry* e) { return load(e->log_write_offset); }
void set_log_write_offset(interface_entry* e, std::int32_t value) { store(e->log_write_offset, value); }
std::int32_t get_last_error(const interface_entry* e) { return load(e->last_error); }
void set_last_error(interface_entry* e, std::int32_t value) { store(e->last_error, value); }
std::array<std::uint8_t, 2> get_pending_flags(const interface_entry* e) { return load(e->pending_flags); }
void set_pending_flags(interface_entry* e, std::array<std::uint8_t, 2> value) { store(e->pending_flags, value); }
interface_entry* get_next(const interface_entry* e) { return load(e->next); }
void set_next(interface_entry* e, interface_entry* next) { store(e->next, next); }
bool get_removed(const interface_entry* e) { return load(e->removed); }
void set_removed(interface_entry* e, bool value) { store(e->removed, value); }

queue_node* get_node_next(const queue_node* n) {
  std::lock_guard<std::mutex> guard(state_lock);
  return n->next.get();
}
void set_node_next(queue_node* n, std::unique_ptr<queue_node> next) {
  std::unique_ptr<queue_node> old;
  {
    std::lock_guard<std::mutex> guard(state_lock);
    old = std::exchange(n->next, std::move(next));
  }
}
const driver_event* get_node_event(const queue_node* n) {
  std::lock_guard<std::mutex> guard(state_lock);
  return &n->event;
}

void for_each_queued_record(const interface_entry* e, const std::function<void(const driver_event&)>& visit) {
  std::lock_guard<std::mutex> guard(state_lock);
  for (const queue_node* n = e->queue_head.get(); n != nullptr; n = n->next.get()) visit(n->event);
}

namespace {

// A std::thread must be joined before it is destroyed; writers may still be
// ending while their slot is released.
void join_slot_threads(std::array<thread_slot, thread_slot_count>* table) {
  if (!table) return;
  for (thread_slot& slot : *table) (void)join_slot_thread(&slot);
}

}  // namespace

void set_thread_manager_table(std::unique_ptr<std::array<thread_slot, thread_slot_count>> table) {
  std::unique_ptr<std::array<thread_slot, thread_slot_count>> old;
  {
    std::lock_guard<std::mutex> guard(state_lock);
    old = std::exchange(items().thread_table, std::move(table));
  }
  join_slot_threads(old.get());
}
std::array<thread_slot, thread_slot_count>* get_thread_manager_table() {
  std::lock_guard<std::mutex> guard(state_lock);
  return items().thread_table.get();
}
bool get_slot_taken(const thread_slot* s) { return load(s->taken); }
void set_slot_taken(thread_slot* s, bool taken) { store(s->taken, taken); }
interface_entry* get_slot_owner(const thread_slot* s) { return load(s->owner); }
void set_slot_owner(thread_slot* s, interface_entry* owner) { store(s->owner, owner); }
void set_slot_thread(thread_slot* s, std::thread thread) {
  std::thread old;
  {
    std::lock_guard<std::mutex> guard(state_lock);
    old = std::exchange(s->thread, std::move(thread));
  }
  // Joined by the caller before; never a running thread destroyed.
  if (old.joinable()) old.join();
}
bool join_slot_thread(thread_slot* s, bool leave_taken) {
  std::thread thread;
  bool taken = false;
  {
    std::lock_guard<std::mutex> guard(state_lock);
    thread = std::move(s->thread);
    taken = s->taken;
  }
  if (!thread.joinable()) return true;
  if (leave_taken && taken) {
    thread.detach();
    return false;
  }
  thread.join();
  return true;
}

std::mutex& log_file_lock(adapter_location location) {
  std::lock_guard<std::mutex> guard(state_lock);
  auto& slot = items().log_locks[location];
  if (!slot) slot = std::make_unique<std::mutex>();
  return *slot;
}

std::mutex& device_request_lock(const std::string& name) {
  std::lock_guard<std::mutex> guard(state_lock);
  auto& slot = items().device_locks[name];
  if (!slot) slot = std::make_unique<std::mutex>();
  return *slot;
}

void teardown_store() {
  // Everything is moved out under the lock and released after it, so that no
  // destructor runs while state_lock is held.
  std::unique_ptr<std::vector<name_entry>> names;
  std::unique_ptr<std::vector<level_entry>> levels;
  std::vector<std::unique_ptr<interface_entry>> entries;
  std::unique_ptr<std::array<thread_slot, thread_slot_count>> threads;
  {
    std::lock_guard<std::mutex> guard(state_lock);
    store_items& s = items();
    s.error_log_file_path.reset();
    s.error_log_list_path.reset();
    names = std::move(s.name_table);
    levels = std::move(s.level_table);
    s.interface_table = nullptr;
    s.deferred.clear();
    entries = std::move(s.all_entries);
    s.all_entries.clear();
    threads = std::move(s.thread_table);
  }
  join_slot_threads(threads.get());
  // Queues are chains of unique_ptr; unwind them iteratively so that a long
  // queue cannot exhaust the stack.
  for (auto& entry : entries) {
    std::unique_ptr<queue_node> node = std::move(entry->queue_head);
    while (node) node = std::move(node->next);
  }
}

}  // namespace kvx::logd
