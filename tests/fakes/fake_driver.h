// The fake kvxwdd of the in-process tests (the capture's and the log
// output's): a platform::port_transport whose port devices answer ERRLOG,
// SLOT_RELEASE, PCI_LOCATION and CC_ADAPTER_DATA packets from per-adapter
// state that a test sets and inspects. Thread-safe; install it with
// platform::scoped_ports. The SCSI port map the table build reads goes into
// the host registry (the simulated one under a temp_host) with
// add_port_map_entry. Tests that need the whole driver protocol run the
// driver simulator instead (adapter_simulator.h).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/port_device.h"

namespace kvx::test {

/// HKLM\HARDWARE\DEVICEMAP\Scsi\Scsi Port <port> with "Driver" = `driver`.
void add_port_map_entry(int port, const char* driver = "kvxwdd");

struct fake_adapter {
  std::uint32_t pci_location = 0;
  std::array<std::vector<std::uint8_t>, 16> slots;      ///< a slot is occupied while non-empty
  std::optional<std::string> driver_version = "2.1.4";  ///< none: DATA_VERSIONS fails
  std::optional<std::string> firmware_version = "10.02";
  std::optional<std::uint64_t> wwpn = 0x1122334455667788ull;  ///< none: DATA_PORT_NAMES fails
  bool plugged = true;                                        ///< false: the device does not open
  bool release_fails = false;                                 ///< SLOT_RELEASE answers error_gen_failure
  bool release_ignored = false;                               ///< SLOT_RELEASE succeeds but the slot stays occupied
  int busy_answers = 0;                                       ///< the next N exchanges answer error_busy
  // Counters.
  int errlog_requests = 0;
  std::vector<int> released;  ///< slots handed back, in order
};

class fake_driver : public platform::port_transport {
 public:
  /// Adds an adapter served as "\\\\.\\scsi<port>:".
  void add_adapter(int port, std::uint32_t pci_location);
  /// Occupies a slot with these bytes (at most 1024 kept).
  void fill_slot(int port, int slot, std::vector<std::uint8_t> data);
  /// Runs `change` on the adapter's state under the driver's lock.
  template <class Change>
  void with_adapter(int port, Change&& change) {
    std::lock_guard<std::mutex> guard(lock_);
    change(adapters_.at(port));
  }
  fake_adapter snapshot(int port);

  std::uint32_t open(const char* path, platform::share_mode mode, std::unique_ptr<platform::port_device>& out) override;
  bool query_dos_device(const char* dos_name, std::string& target, std::uint32_t& error) override;

  /// Answers one packet for the adapter on `port` (the fake device's io_control).
  std::uint32_t exchange(int port, std::uint8_t* buffer, std::uint32_t size);

 private:
  std::mutex lock_;
  std::map<int, fake_adapter> adapters_;
};

}  // namespace kvx::test
