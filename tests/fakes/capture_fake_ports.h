// Port devices for the capture's tests: each configured port answers
// PCI_LOCATION with its location word and ERRLOG with an empty slot bitmap.
// Install with platform::scoped_ports; the SCSI port map goes into the host
// registry (the simulated one under a temp_host) with add_port_map_entry.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/port_device.h"

namespace kvx::test {

/// HKLM\HARDWARE\DEVICEMAP\Scsi\Scsi Port <port> with "Driver" = `driver`.
void add_port_map_entry(int port, const char* driver = "kvxwdd");

class capture_fake_ports final : public platform::port_transport {
 public:
  /// Port `port` ("\\\\.\\scsi<port>:") answers with `location`.
  void add_port(int port, std::uint32_t location);
  /// The port's device no longer opens.
  void unplug(int port);

  std::atomic<int> opens{0};

  std::uint32_t open(const char* path, platform::share_mode mode, std::unique_ptr<platform::port_device>& out) override;
  bool query_dos_device(const char* dos_name, std::string& target, std::uint32_t& error) override;

 private:
  std::mutex lock_;
  std::map<std::string, std::uint32_t> locations_;  ///< by device path
};

}  // namespace kvx::test
