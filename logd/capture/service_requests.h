// The service's requests to its adapters: the adapter layer's retrying
// requests in the service's context. Every attempt follows the configured
// max_retry_count and retry_frequency, the service's own requests to one port
// go one at a time (device_request_lock), and a pause ends when the capture
// halts. The two requests on an adapter entry keep each attempt's system
// error in its last_error, report an allocation failure, and remove the
// adapter from the table when its device has gone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "adapter/retried_requests.h"
#include "logd/state_store.h"

namespace kvx::logd {

/// The context of a request to the port `name`, not on behalf of an entry.
[[nodiscard]] adapter::request_context request_context_for(const std::string& name);
/// The context of a request on behalf of `entry` (not null).
[[nodiscard]] adapter::request_context request_context_for(interface_entry* entry);

/// ERRLOG for the entry's adapter: the reply, which the caller owns; null when
/// no detail data could be had (or `entry` is null).
std::unique_ptr<adapter::detail_reply> request_detail_data(interface_entry* entry);
/// SLOT_RELEASE of `slot` for the entry's adapter. 0 released, 1 failed.
[[nodiscard]] int release_detail_slot(interface_entry* entry, int slot);
/// CC_ADAPTER_DATA `type` of the port `name` into `data`. 0, or -1.
[[nodiscard]] int request_adapter_data(const std::string& name, int type, std::uint8_t* data);
/// PCI_LOCATION of the port `name`. 0 and the word in `location`, or -1.
[[nodiscard]] int request_pci_location(const std::string& name, std::uint32_t& location);

}  // namespace kvx::logd
