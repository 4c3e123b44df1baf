// hbalogd's requests to the driver: one control packet each, sent again while
// the driver answers busy (max_retry_count attempts, retry_frequency seconds
// apart). The two that work on an adapter entry record every attempt's system
// error in its last_error and drop the adapter when its device does not open.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kvx::logd {
struct interface_entry;
}

namespace kvx::adapter {

/// The ERRLOG payload: slot bitmap in bytes 0-1, slot k's 1024 bytes at 16 + 1024 k.
inline constexpr std::uint32_t detail_reply_size = 16400;
using detail_reply = std::vector<std::uint8_t>;  ///< always detail_reply_size bytes

/// ERRLOG, exclusive open. Null when no detail data could be had.
std::unique_ptr<detail_reply> request_detail_data(logd::interface_entry* entry);
/// SLOT_RELEASE of `slot`, exclusive open. 0 released, 1 failed.
[[nodiscard]] int release_detail_slot(logd::interface_entry* entry, int slot);
/// CC_ADAPTER_DATA type 1 (736 bytes) or 2 (2296 bytes) into `data` (at least
/// that long), shared open. 0, or -1.
[[nodiscard]] int request_adapter_data(const std::string& name, int type, std::uint8_t* data);
/// PCI_LOCATION, shared open. 0 and the word in `location`, or -1.
[[nodiscard]] int request_pci_location(const std::string& name, std::uint32_t& location);

}  // namespace kvx::adapter
