// The shared state store of hbalogd: every value that more than one thread of
// the event capture touches, each behind a getter and a setter that hold
// state_lock for that one load or store and call nothing else.
//
// Sequences of accessor calls are not atomic as a whole; the capture relies on
// an adapter's `busy` flag, on dispatch_lock and on the rule that only the
// dispatch pass starts writer threads (see docs/architecture.md).
//
// Ownership: the store owns the two path texts, the two list tables, every
// interface_entry (a removed one until release_removed_entries() finds no
// thread that can hold it), their queues and the thread manager table.
// Pointers handed out stay valid until then, or until teardown_store(), which
// runs only when no other capture thread is running.
//
// The capture's locks, what each guards, and the order in which they are
// taken (a thread holding one takes only those below it):
//   dispatch_lock          one dispatch pass, or one check of the notify thread
//   log_file_lock(loc)     one entry in one adapter's log file, header to header
//   device_request_lock(n) hbalogd's own open and exchange on one port device
//   table_change_lock      a change to interface_table's links
//   state_lock             one load or store through an accessor (and the
//                          count of table walks); calls nothing else
//   capture life lock      the capture's phase and its condition variable
//                          (logd/capture/capture_life.h); taken alone
// No lock is held through a pause: busy waits and retry pauses hold none.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "logd/driver_record.h"
#include "logd/record_numbers.h"

namespace kvx::platform {
class event_handle;
}

namespace kvx::logd {

struct queue_node {
  driver_event event;
  std::unique_ptr<queue_node> next;
};

struct interface_entry;

/// Fields are reached only through the accessors below (fields under state_lock).
struct interface_entry {
  std::string symbolic_link_name;  ///< "\\\\.\\scsiN"; fixed at creation
  std::int32_t bus_dev_func = 0;   ///< the adapter's PCI location word; its low 16 bits are its adapter_location
  std::int32_t busy = 0;
  std::unique_ptr<queue_node> queue_head;
  std::int32_t queue_count = 0;
  std::int32_t log_record_count = 0;
  std::int32_t log_write_offset = 16;
  std::int32_t last_error = 0;
  std::array<std::uint8_t, 2> pending_flags{0, 0};  ///< the slot bitmap the retry thread saw at its last cycle
  interface_entry* next = nullptr;                  ///< kept by a removed entry, so walkers standing on it go on
  bool removed = false;                             ///< unlinked by remove_interface; released at teardown
};

struct name_entry {
  std::int32_t error_number = 0;
  std::int32_t level_number = 0;
  std::string error_name;
};

struct level_entry {
  std::int32_t level_number = 0;
  std::string level_name;
};

inline constexpr int thread_slot_count = 128;

/// One writer's place. `taken` from the start of a writer until its last
/// step frees the slot; `thread` is that writer, joined (join_slot_thread)
/// before the slot is used again and at the stop.
struct thread_slot {
  std::thread thread;
  bool taken = false;
  interface_entry* owner = nullptr;
};

/// The store's locks have static storage and live as long as the process, so
/// an accessor may run at any time, before a capture starts and after it has
/// ended: there is no step that makes or ends them.
/// dispatch_lock: held by the worker for a whole dispatch pass and by the notify
/// thread for one check; always taken before state_lock. The store never takes it.
std::mutex& get_dispatch_lock();

// Every get_X below gives X (a copy) and every set_X stores it, each under
// state_lock alone; none can fail.

// Scalar items (signed 32-bit), each pair with what its value is.
/// Attempts of one driver request while the driver answers busy.
std::int32_t get_max_retry_count();
void set_max_retry_count(std::int32_t value);
/// Seconds between those attempts.
std::int32_t get_retry_frequency();
void set_retry_frequency(std::int32_t value);
/// The data offset of the event key in a driver record.
std::int32_t get_unique_id_position();
void set_unique_id_position(std::int32_t value);
/// Bytes of a record's driver data that its entry dumps.
std::int32_t get_dump_data_size();
void set_dump_data_size(std::int32_t value);
/// Bytes of a detail slot that an entry dumps.
std::int32_t get_error_log_size();
void set_error_log_size(std::int32_t value);
/// The configured error-log count (16 unless configured); nothing reads it further.
std::int32_t get_max_error_log_count();
void set_max_error_log_count(std::int32_t value);
/// Entries a log file holds before it wraps (0: it never wraps).
std::int32_t get_max_record_count();
void set_max_record_count(std::int32_t value);
/// The number of the last record the watcher dispatched or took as seen.
std::int32_t get_last_record_number();
/// Sets the number and forgets its mark (record_mark::held::unknown).
void set_last_record_number(std::int32_t value);
/// What tells the record under last_record_number apart; set after the
/// number, by the start and the dispatch pass, under dispatch_lock.
record_mark get_last_record_mark();
void set_last_record_mark(const record_mark& mark);
/// The records passes read and left in the log for a full queue, until a
/// pass reads them again or finds them gone; used under dispatch_lock, and
/// by the stop once the watch has ended.
std::vector<deferred_record> get_deferred_records();
void set_deferred_records(std::vector<deferred_record> records);

/// The phases of the capture's life; logd/capture/capture_life.h says what becomes
/// of a record in flight in each.
enum class capture_phase { running, draining, halting };

/// The capture's life record: its phase, the two moments of a stop, the
/// threads at work and those come to rest, and the one lock and condition
/// variable they share. Only logd/capture/capture_life.cpp uses it, with `lock` taken alone. Never
/// destroyed: a writer left inside a driver exchange at the stop ends with the
/// process and, on its way out, may still signal it while the process exits.
struct capture_life_record {
  std::mutex lock;
  std::condition_variable changed;  ///< the phase moved, or a capture thread came to rest
  capture_phase phase = capture_phase::running;
  std::chrono::steady_clock::time_point halt_at;  ///< while draining: when halting begins
  std::chrono::steady_clock::time_point end_at;   ///< draining or halting: the stop's bound
  std::int32_t at_work = 0;                       ///< capture threads started and not yet at rest
  std::uint64_t rests = 0;                        ///< capture threads come to rest so far
};
/// The one capture life record, made at first use.
capture_life_record& get_capture_life_record();

/// How long a stop may take, in milliseconds, from its request to the
/// worker's return: the last pass and the writers finish within it, and a
/// thread that is not at rest by then is left behind (20000 unless a test
/// shortens it).
std::int32_t get_stop_drain_ms();
void set_stop_drain_ms(std::int32_t value);

/// Test-only: the retry thread's cycle in milliseconds (60000 unless a test
/// shortens it; the shipped configuration never changes it).
std::int32_t get_retry_cycle_ms();
void set_retry_cycle_ms(std::int32_t value);
/// Test-only: the notify thread's cycle in milliseconds (5000 unless a test
/// shortens it).
std::int32_t get_notify_cycle_ms();
void set_notify_cycle_ms(std::int32_t value);

/// notify_event: the worker stores it before it starts the notify thread and
/// clears it before it releases the event; stop_watch() sets whatever is
/// stored. Shared, so a caller holding a copy never meets a released event.
std::shared_ptr<platform::event_handle> get_notify_event();
void set_notify_event(std::shared_ptr<platform::event_handle> event);

/// Serialises changes to the links of interface_table (an append at the tail,
/// an unlink). Walkers do not take it: every link they follow is published
/// with its entry complete, and an unlinked entry keeps its `next`. Taken
/// after dispatch_lock and before state_lock.
std::mutex& get_table_change_lock();
/// The entries that remove_interface unlinked and that are not yet released
/// (the store still owns them).
std::vector<interface_entry*> get_removed_entries();

/// Held by every walk of interface_table that may stand on an entry while
/// another thread unlinks it (find_interface, the sweeps). A removed entry is
/// released only when no walk is under way, so no walker can stand on it.
class table_walk {
 public:
  /// Counts a walk as under way.
  table_walk();
  /// Counts it as ended.
  ~table_walk();
  table_walk(const table_walk&) = delete;
  table_walk& operator=(const table_walk&) = delete;
};
/// Releases every removed entry that no thread can still hold: no writer
/// (`busy` 0, no slot owned), nothing queued, and no walk under way. Run by
/// the worker between dispatch passes, so that a device that comes and goes
/// cannot grow memory and the work of a pass without bound.
void release_removed_entries();

// The two directories; none after teardown.
/// The log files' directory, or none.
std::optional<std::string> get_error_log_file_path();
void set_error_log_file_path(std::optional<std::string> value);
/// The list files' directory, or none.
std::optional<std::string> get_error_log_list_path();
void set_error_log_list_path(std::optional<std::string> value);

// The list tables: installed whole, read-only until teardown.
/// Takes the name table over, releasing the one it replaces.
void set_errorlist_name_table(std::unique_ptr<std::vector<name_entry>> table);
/// The name table (the store keeps it), or null when none is installed.
const std::vector<name_entry>* get_errorlist_name_table();
/// The count of entries in the name table.
std::int32_t get_errorlist_name_count();
void set_errorlist_name_count(std::int32_t value);
/// Takes the level table over, releasing the one it replaces.
void set_errorlist_level_table(std::unique_ptr<std::vector<level_entry>> table);
/// The level table (the store keeps it), or null when none is installed.
const std::vector<level_entry>* get_errorlist_level_table();
/// The count of entries in the level table.
std::int32_t get_errorlist_level_count();
void set_errorlist_level_count(std::int32_t value);

/// interface_table: its first linked entry, or null (the store owns the entries).
interface_entry* get_interface_table();
void set_interface_table(interface_entry* first);
/// Hands a new entry to the store, which keeps it until teardown; gives it back unlinked.
interface_entry* adopt_interface_entry(std::unique_ptr<interface_entry> entry);

// interface_entry fields.
/// The entry's device name (a copy).
std::string get_symbolic_link_name(const interface_entry* e);
/// The adapter's PCI location word.
std::int32_t get_bus_dev_func(const interface_entry* e);
void set_bus_dev_func(interface_entry* e, std::int32_t value);
/// Non-zero while a writer works for the adapter.
std::int32_t get_busy(const interface_entry* e);
void set_busy(interface_entry* e, std::int32_t value);
/// The first queued node (the entry owns it), or null.
queue_node* get_queue_head(const interface_entry* e);
/// Hands the entry a new queue, releasing the one it replaces.
void set_queue_head(interface_entry* e, std::unique_ptr<queue_node> head);
/// Takes the whole queue out of the entry (queue_head becomes null).
std::unique_ptr<queue_node> take_queue_head(interface_entry* e);
/// The count of records in the queue.
std::int32_t get_queue_count(const interface_entry* e);
void set_queue_count(interface_entry* e, std::int32_t value);
/// The entries the log file's header counts.
std::int32_t get_log_record_count(const interface_entry* e);
void set_log_record_count(interface_entry* e, std::int32_t value);
/// Where the log file's next entry goes (on its end marker).
std::int32_t get_log_write_offset(const interface_entry* e);
void set_log_write_offset(interface_entry* e, std::int32_t value);
/// The error code the last attempt of a request on the adapter's device ended with.
std::int32_t get_last_error(const interface_entry* e);
void set_last_error(interface_entry* e, std::int32_t value);
/// The slot bitmap the retry thread saw at its last cycle.
std::array<std::uint8_t, 2> get_pending_flags(const interface_entry* e);
void set_pending_flags(interface_entry* e, std::array<std::uint8_t, 2> value);
/// The next entry of interface_table, or null.
interface_entry* get_next(const interface_entry* e);
void set_next(interface_entry* e, interface_entry* next);
/// Whether remove_interface has unlinked the entry.
bool get_removed(const interface_entry* e);
void set_removed(interface_entry* e, bool value);

/// Calls `visit` with each record queued on the entry, in queue order, under
/// state_lock: safe while the entry's writer runs (it unlinks nodes before it
/// releases them). `visit` must not use the store.
void for_each_queued_record(const interface_entry* e, const std::function<void(const driver_event&)>& visit);

// queue_node fields.
/// The node after `n` (`n` owns it), or null.
queue_node* get_node_next(const queue_node* n);
/// Hands `n` the node after it, releasing the chain it replaces.
void set_node_next(queue_node* n, std::unique_ptr<queue_node> next);
/// The event the node holds (the node owns it).
const driver_event* get_node_event(const queue_node* n);

// thread_manager_table: 128 slots, or null before it is built.
/// Takes the table over; the one it replaces is released once its threads are joined.
void set_thread_manager_table(std::unique_ptr<std::array<thread_slot, thread_slot_count>> table);
/// The table (the store owns it), or null.
std::array<thread_slot, thread_slot_count>* get_thread_manager_table();
/// Whether a writer holds the slot.
bool get_slot_taken(const thread_slot* s);
void set_slot_taken(thread_slot* s, bool taken);
/// The adapter whose writer holds the slot, or null.
interface_entry* get_slot_owner(const thread_slot* s);
void set_slot_owner(thread_slot* s, interface_entry* owner);
/// Puts a started writer into the slot, whose previous thread has been
/// joined. Only the worker thread starts and joins writers.
void set_slot_thread(thread_slot* s, std::thread thread);
/// The one place where writer threads end: takes the slot's thread out and
/// joins it outside state_lock. A thread whose slot is still taken (held
/// inside a driver exchange) is detached instead when `leave_taken`, to end
/// with the process. Whether no thread of the slot is left running: true when
/// joined or there was none, false when detached.
bool join_slot_thread(thread_slot* s, bool leave_taken = false);

/// The lock that serialises entries into one adapter's log file, by adapter
/// location (low 16 bits of the event key). Created on first use, kept until
/// teardown, so an entry removed and found again keeps the same lock.
std::mutex& log_file_lock(adapter_location location);

/// The lock that serialises hbalogd's own driver requests to one port device,
/// by device name. The driver's exclusive open refuses a second handle, and a
/// refused open counts as a device that has gone; without this lock a writer
/// thread and the retry thread asking the same adapter at once would drop it
/// and its queued records. Handles of other programs still collide, as on
/// the system. Created on first use and kept for the life of the process.
std::mutex& device_request_lock(const std::string& name);

/// Releases, in this order: both paths, the name table with its names, the
/// level table with its names, every interface_entry (linked or removed) with
/// its queue, and the thread table. Counts keep their values. Runs only when no
/// other capture thread runs.
void teardown_store();

}  // namespace kvx::logd
