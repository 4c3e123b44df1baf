#include "adapter/retried_requests.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <new>
#include <utility>

#include "adapter/control_packet.h"
#include "platform/win_codes.h"

namespace kvx::adapter {
namespace {

/// Builds the packet once allocated; 0, or 1 when it cannot.
using packet_builder = int (*)(packet_bytes& packet, std::uint32_t argument);

int build_errlog(packet_bytes& packet, std::uint32_t) { return build_command_packet(packet, ERRLOG); }
int build_slot_release(packet_bytes& packet, std::uint32_t slot) {
  return build_command_packet(packet, SLOT_RELEASE, slot);
}
int build_pci_location(packet_bytes& packet, std::uint32_t) { return build_command_packet(packet, PCI_LOCATION); }
int build_adapter_data(packet_bytes& packet, std::uint32_t type) {
  return build_adapter_data_packet(packet, static_cast<int>(type));
}

/// retry_frequency seconds as the milliseconds of one pause, kept within
/// what a pause can take (a negative frequency means no pause).
std::int32_t pause_milliseconds(std::int32_t retry_frequency) {
  const std::int64_t ms = static_cast<std::int64_t>(retry_frequency) * 1000;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(ms, 0, std::numeric_limits<std::int32_t>::max()));
}

/// Whether an attempt may be made again after a pause: the driver's busy
/// answer, or another program's handle on the device (a refused open shows at
/// CreateFileA on Windows and at the first request on the handle under some
/// hosts). Neither means the device has gone.
bool worth_another_attempt(std::uint32_t error) {
  return error == win::error_busy || error == win::error_sharing_violation;
}

/// One attempt: open, then one exchange, with hbalogd's own requests to the
/// device serialised for just that long. 0 with the reply in `packet`;
/// otherwise 1 with the system error in `error` and `gone` set when the device
/// did not open for a reason other than a share clash.
int attempt_request(const request_context& context, platform::share_mode mode, const std::string& path,
                    packet_bytes& packet, std::uint32_t& error, bool& gone) {
  std::unique_lock<std::mutex> own_requests;
  if (context.own_requests != nullptr) own_requests = std::unique_lock<std::mutex>(*context.own_requests);
  port_handle device = open_port_device(path.c_str(), mode, error);
  if (!device) {
    gone = error != win::error_sharing_violation;
    return 1;
  }
  std::uint32_t returned = 0;
  return exchange_packet(*device, packet, error, returned);
}

/// The common procedure: allocate and build, then up to max_retry_count
/// attempts with a pause after every busy answer or share clash. 0 with the
/// reply in `packet`, or 1. No lock and no handle is held through a pause, so
/// nobody waits out another thread's retries.
int run_request(const request_context& context, platform::share_mode mode, packet_bytes& packet, std::uint32_t size,
                packet_builder build, std::uint32_t argument) {
  if (!context.allocate(packet, size)) {
    if (context.allocation_failed) context.allocation_failed();
    return 1;
  }
  if (build(packet, argument) != 0) return 1;
  const std::string path = device_path(context.name);

  const std::int32_t pause = pause_milliseconds(context.retry_frequency);
  for (std::int32_t made = 0; made < context.max_retry_count; ++made) {
    std::uint32_t error = 0;
    bool gone = false;
    const int result = attempt_request(context, mode, path, packet, error, gone);
    if (gone) {
      if (context.device_gone) context.device_gone();
      return 1;
    }
    if (context.attempt_done) context.attempt_done(error);
    if (result == 0) return 0;
    if (!worth_another_attempt(error)) return 1;
    // A caller that has to halt must not be held for the rest of the retries.
    if (context.pause && !context.pause(pause)) return 1;
  }
  return 1;
}

}  // namespace

std::unique_ptr<detail_reply> request_detail_data(const request_context& context) {
  packet_bytes packet;
  if (run_request(context, platform::share_mode::exclusive, packet, command_packet_size(ERRLOG), build_errlog, 0) !=
      0) {
    return nullptr;
  }
  // The packet becomes the reply: its header is cut off in place and its
  // bytes move into the reply object without another copy.
  packet.erase(packet.begin(), packet.begin() + header_length);
  std::unique_ptr<detail_reply> reply(new (std::nothrow) detail_reply(std::move(packet)));
  if (!reply && context.allocation_failed) context.allocation_failed();
  return reply;
}

int release_detail_slot(const request_context& context, int slot) {
  if (slot < 0 || slot >= detail_slot_count) return 1;
  packet_bytes packet;
  return run_request(context, platform::share_mode::exclusive, packet, command_packet_size(SLOT_RELEASE),
                     build_slot_release, static_cast<std::uint32_t>(slot));
}

int request_adapter_data(const request_context& context, int type, std::uint8_t* data) {
  const std::uint32_t length = adapter_data_length(type);
  if (length == 0 || data == nullptr) return -1;
  packet_bytes packet;
  if (run_request(context, platform::share_mode::shared, packet, adapter_data_packet_size(type), build_adapter_data,
                  static_cast<std::uint32_t>(type)) != 0) {
    return -1;
  }
  std::span<const std::uint8_t> area = adapter_data_area(packet, type);
  std::copy(area.begin(), area.end(), data);
  return 0;
}

int request_pci_location(const request_context& context, std::uint32_t& location) {
  packet_bytes packet;
  if (run_request(context, platform::share_mode::shared, packet, command_packet_size(PCI_LOCATION), build_pci_location,
                  0) != 0) {
    return -1;
  }
  return read_pci_location(packet, location);
}

}  // namespace kvx::adapter
