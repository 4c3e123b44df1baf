// The two entry requests of hbalogd with the packet allocation passed in, so
// that a test can make the allocation fail. The operations of
// logger_requests.h call these with allocate_packet.
#pragma once

#include "adapter/logger_requests.h"
#include "adapter/port_access.h"

namespace kvx::adapter {

std::unique_ptr<detail_reply> request_detail_data(logd::interface_entry* entry, packet_allocator allocate);
[[nodiscard]] int release_detail_slot(logd::interface_entry* entry, int slot, packet_allocator allocate);

}  // namespace kvx::adapter
