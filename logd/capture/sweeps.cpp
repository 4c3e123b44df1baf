#include "logd/capture/sweeps.h"

#include <memory>
#include <optional>

#include "logd/capture/capture_life.h"
#include "logd/capture/service_requests.h"
#include "logd/driver_record.h"
#include "logd/output/log_entry.h"
#include "logd/output/report_event.h"

namespace kvx::logd {
namespace {

std::array<std::uint8_t, 2> bitmap_of(const adapter::detail_reply* reply) {
  if (reply == nullptr || reply->size() < 2) return {0, 0};
  return {(*reply)[0], (*reply)[1]};
}

bool any_occupied(const std::array<std::uint8_t, 2>& bitmap) { return bitmap[0] != 0 || bitmap[1] != 0; }

}  // namespace

std::optional<std::array<std::uint8_t, 2>> drain_adapter_bitmap(interface_entry* entry) {
  const driver_event record = make_synthetic_record(get_bus_dev_func(entry));
  std::array<std::uint8_t, 2> bitmap{0, 0};
  for (int written = 0;; ++written) {
    // Slots not yet logged stay with the driver for the next start's scan.
    if (watch_ending()) return bitmap;
    const std::unique_ptr<adapter::detail_reply> reply = request_detail_data(entry);
    bitmap = bitmap_of(reply.get());
    if (!any_occupied(bitmap)) return bitmap;
    if (written == drain_entry_limit) {
      report_event(report_warning, "Detail data of %s is still occupied after %d entries.",
                   get_symbolic_link_name(entry).c_str(), drain_entry_limit);
      return bitmap;
    }
    if (write_log_entry(record, reply.get(), nullptr) != 0) return bitmap;
  }
}

void drain_adapter(interface_entry* entry) { (void)drain_adapter_bitmap(entry); }

void startup_scan() {
  const table_walk walking;
  // The next entry is taken first: a drain may drop its adapter from the table.
  for (interface_entry* entry = get_interface_table(); entry != nullptr && !watch_ending();) {
    interface_entry* next = get_next(entry);
    drain_adapter(entry);
    entry = next;
  }
}

void retry_pass() {
  const table_walk walking;
  for (interface_entry* entry = get_interface_table(); entry != nullptr && !watch_ending();) {
    interface_entry* next = get_next(entry);
    // An adapter whose writer is at work is left to it for this cycle: the
    // detail requests open the device exclusively, and a second open while the
    // writer holds it would count as a device gone and drop the adapter.
    if (get_busy(entry) != 0) {
      entry = next;
      continue;
    }
    std::array<std::uint8_t, 2> bitmap{0, 0};
    {
      const std::unique_ptr<adapter::detail_reply> reply = request_detail_data(entry);
      if (!reply) {
        entry = next;
        continue;
      }
      bitmap = bitmap_of(reply.get());
    }
    // A non-zero byte unchanged over a whole cycle: no record is coming for
    // those slots.
    const std::array<std::uint8_t, 2> last_cycle = get_pending_flags(entry);
    if ((bitmap[0] != 0 && bitmap[0] == last_cycle[0]) || (bitmap[1] != 0 && bitmap[1] == last_cycle[1])) {
      if (const auto last = drain_adapter_bitmap(entry)) bitmap = *last;
    }
    set_pending_flags(entry, bitmap);
    entry = next;
  }
}

void retry_thread() {
  while (sleep_unless_watch_ends(get_retry_cycle_ms())) retry_pass();
}

}  // namespace kvx::logd
