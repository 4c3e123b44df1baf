// hbalogd's requests to the driver: one control packet each, sent again while
// the driver answers busy or another program holds the device (at most
// max_retry_count attempts, retry_frequency seconds apart). What the service
// keeps of each attempt, and what it does when the device has gone, reaches
// these functions in the request's context: the adapter layer knows nothing
// of the service's adapter table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adapter/port_access.h"

namespace kvx::adapter {

/// The ERRLOG payload: slot bitmap in bytes 0-1, slot k's 1024 bytes at 16 + 1024 k.
inline constexpr std::uint32_t detail_reply_size = 16400;
using detail_reply = std::vector<std::uint8_t>;  ///< always detail_reply_size bytes

/// Where one request goes and what the service does with what happens.
struct request_context {
  std::string name;  ///< the port's symbolic link name
  /// Held for one open and exchange (the service's own requests to one port
  /// go one at a time); null: none.
  std::mutex* own_requests = nullptr;
  std::int32_t max_retry_count = 1;
  std::int32_t retry_frequency = 0;  ///< seconds between attempts
  /// The pause between attempts; false when the retries must end at once.
  /// Null: no pause.
  std::function<bool(std::int32_t milliseconds)> pause;
  /// Each attempt's system error (0 on success), unless the device has gone.
  std::function<void(std::uint32_t error)> attempt_done;
  /// The device did not open, for another reason than a share clash. After
  /// it the request touches nothing of the caller's again.
  std::function<void()> device_gone;
  /// The packet or the reply could not be allocated.
  std::function<void()> allocation_failed;
  packet_allocator allocate = allocate_packet;
};

/// ERRLOG, exclusive open. Null when no detail data could be had.
std::unique_ptr<detail_reply> request_detail_data(const request_context& context);
/// SLOT_RELEASE of `slot` (0..15), exclusive open. 0 released, 1 failed.
[[nodiscard]] int release_detail_slot(const request_context& context, int slot);
/// CC_ADAPTER_DATA type 1 (736 bytes) or 2 (2296 bytes) into `data` (at least
/// that long), shared open. 0, or -1.
[[nodiscard]] int request_adapter_data(const request_context& context, int type, std::uint8_t* data);
/// PCI_LOCATION, shared open. 0 and the word in `location`, or -1.
[[nodiscard]] int request_pci_location(const request_context& context, std::uint32_t& location);

}  // namespace kvx::adapter
