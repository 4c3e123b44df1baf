#include "logd/capture/writer_thread.h"

#include <new>
#include <utility>

#include "adapter/retried_requests.h"
#include "logd/capture/capture_hooks.h"
#include "logd/capture/capture_life.h"
#include "logd/capture/interface_table.h"
#include "logd/output/log_entry.h"
#include "logd/output/report_event.h"

namespace kvx::logd {
namespace {

/// Takes the first `written` nodes out of the entry's queue (its writer is
/// the only one touching it while `busy` is 1) and releases them.
void drop_written(interface_entry* entry, std::int32_t count, std::int32_t written) {
  if (written <= 0) return;
  std::unique_ptr<queue_node> written_nodes = take_queue_head(entry);
  queue_node* last_written = written_nodes.get();
  for (std::int32_t i = 1; i < written && last_written != nullptr; ++i) last_written = get_node_next(last_written);
  std::unique_ptr<queue_node> rest;
  if (last_written != nullptr) rest = std::move(last_written->next);
  set_queue_head(entry, std::move(rest));
  set_queue_count(entry, count - written);
  release_queue(std::move(written_nodes));
}

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

}  // namespace kvx::logd
