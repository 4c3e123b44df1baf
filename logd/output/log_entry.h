// One readable entry in an adapter's log file, from a driver or synthetic
// record and the adapter's detail-data reply.
#pragma once

#include "adapter/retried_requests.h"
#include "logd/driver_record.h"
#include "logd/state_store.h"

namespace kvx::logd {

/// Writes one entry for `record`, a driver record as read from the log, into
/// the log file of its adapter and hands the dumped detail slot back to the
/// driver. `reply` is null when the detail request failed. Both stay the
/// caller's. 0 written, 1 not written (reported, unless the record has no
/// event key or its adapter is not in interface_table). Entries for one
/// adapter location are serialised.
[[nodiscard]] int write_log_entry(const event_record& record, const adapter::detail_reply* reply);
/// The same for a record already decoded (a queued one, or a synthetic record)
/// and the adapter entry in hand (null: the one its key names), also one that
/// has been removed from interface_table since its records were queued: the
/// file needs no device, and what the device cannot give shows as ungettable.
[[nodiscard]] int write_log_entry(const driver_event& event, const adapter::detail_reply* reply,
                                  interface_entry* adapter);

}  // namespace kvx::logd
