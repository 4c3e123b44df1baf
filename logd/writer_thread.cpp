#include "logd/writer_thread.h"

#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "adapter/logger_requests.h"
#include "logd/capture_hooks.h"
#include "logd/capture_life.h"
#include "logd/interface_table.h"
#include "logd/log_entry.h"
#include "logd/report_event.h"

namespace kvx::logd {
namespace {

/// Takes the first `written` nodes out of the entry's queue (its writer is
/// the only one touching it while `busy` is 1) and releases them.
void drop_written(interface_entry* entry, std::int32_t count, std::int32_t written) {
  if (written <= 0) return;
  std::unique_ptr<queue_node> done = take_queue_head(entry);
  queue_node* last_done = done.get();
  for (std::int32_t i = 1; i < written && last_done != nullptr; ++i) last_done = get_node_next(last_done);
  std::unique_ptr<queue_node> rest;
  if (last_done != nullptr) rest = std::move(last_done->next);
  set_queue_head(entry, std::move(rest));
  set_queue_count(entry, count - written);
  release_queue(std::move(done));
}

}  // namespace

int start_writer(interface_entry* entry) {
  std::unique_ptr<thread_args> args(new (std::nothrow) thread_args());
  if (!args) {
    report_event(report_error, "Unable to allocate memory for thread args table.");
    return writer_watch_ends;
  }
  args->entry = entry;
  thread_slot* slot = find_free_slot();
  if (slot == nullptr) return writer_watch_ends;

  // The previous writer of this slot freed it but may still be on its last
  // steps; a std::thread must be joined before it is replaced.
  (void)join_slot_thread(slot);

  // All three are in place before the writer can reach its end.
  set_slot_owner(slot, entry);
  set_busy(entry, 1);
  set_slot_taken(slot, true);
  try {
    if (thread_start_refused("writer")) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    set_slot_thread(slot, std::thread(writer_thread, std::move(args)));
  } catch (const std::system_error&) {
    // Undone in release_slot's order, then `busy`, so that the next pass may
    // start a writer for these records again.
    set_slot_owner(slot, nullptr);
    set_slot_taken(slot, false);
    set_busy(entry, 0);
    // _beginthread gives -1 when it cannot start the thread.
    report_event(report_error, "_beginthread() error returned. Return code is %d.", -1);
    return writer_not_started;
  }
  return writer_started;
}

namespace {

/// One detail request, then an entry for each queued record in order; the
/// records written are taken out of the queue.
void write_queued_records(interface_entry* entry) {
  std::unique_ptr<adapter::detail_reply> reply = writer_detail_request(entry);

  const std::int32_t count = get_queue_count(entry);
  std::int32_t written = 0;
  for (queue_node* node = get_queue_head(entry); node != nullptr && written < count; node = get_node_next(node)) {
    if (capture_stopping()) break;
    const int result = writer_log_entry(*get_node_event(node), reply.get(), entry);
    if (result != 0) break;
    ++written;
  }
  drop_written(entry, count, written);
}

}  // namespace

void writer_thread(std::unique_ptr<thread_args> args) {
  interface_entry* entry = args->entry;
  try {
    write_queued_records(entry);
  } catch (const std::bad_alloc&) {
    // The records not yet written stay queued for the next writer.
    report_event(report_error, "Unable to allocate memory for log entry.");
  }
  // The slot is free again before `busy` drops, so the dispatch pass that
  // sees `busy` 0 finds a slot for the next writer of this adapter.
  (void)release_slot(entry);
  args.reset();
  set_busy(entry, 0);
  note_thread_at_rest();
}

void join_writers() {
  auto* table = get_thread_manager_table();
  if (table == nullptr) return;
  for (thread_slot& slot : *table) (void)join_slot_thread(&slot);
}

bool join_writers_at_rest() {
  auto* table = get_thread_manager_table();
  if (table == nullptr) return true;
  bool joined = true;
  // A free slot's writer has done its last step; one still in its slot is
  // held inside a driver exchange and is left to end with the process.
  for (thread_slot& slot : *table) joined = join_slot_thread(&slot, true) && joined;
  return joined;
}

}  // namespace kvx::logd
