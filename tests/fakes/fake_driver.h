// The fake kvxwdd of the in-process tests (the capture's and the log
// output's): a platform::port_transport whose port devices answer ERRLOG,
// SLOT_RELEASE, PCI_LOCATION and CC_ADAPTER_DATA packets from per-adapter
// state that a test sets and inspects. Thread-safe; install it with
// platform::scoped_ports. The SCSI port map the table build reads goes into
// the host registry (the simulated one under a temp_host) with
// add_port_map_entry. Every open and exchange is recorded, and either can be
// made to fail from a script; with script_every_port() a path that names no
// added adapter opens too, and its exchanges succeed with the packet as sent
// (or as set_reply fills it): the adapter access tests check the packets
// themselves. Tests that need the whole driver protocol run the driver
// simulator instead (adapter_simulator.h).
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
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
  std::function<void(int slot)> on_release;                   ///< called as a SLOT_RELEASE arrives
  // Counters.
  int errlog_requests = 0;
  std::vector<int> released;  ///< slots handed back, in order
};

class fake_driver : public platform::port_transport {
 public:
  struct sent_packet {
    std::string path;
    std::uint32_t code = 0;
    std::vector<std::uint8_t> bytes;  ///< as it was sent
  };

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

  // The script, for any path.
  /// A path with no adapter behind it opens as a device that echoes.
  void script_every_port();
  /// What every open gives; error_success opens a device.
  void set_open_error(std::uint32_t error);
  /// The next opens fail with these errors, in order, before set_open_error's applies.
  void queue_open_errors(std::vector<std::uint32_t> errors);
  /// The next exchanges fail with these errors, in order; then they are answered.
  void queue_errors(std::vector<std::uint32_t> errors);
  /// The byte count a failing exchange gives back.
  void set_failure_returned(std::uint32_t returned);
  /// Fills the packet of a successful exchange on a path with no adapter.
  void set_reply(std::function<void(std::span<std::uint8_t>)> reply);
  /// What query_dos_device gives; empty fails it with error_file_not_found.
  void set_dos_target(std::string target);

  // What was asked.
  int opens();
  int closes();
  int exchanges();
  std::vector<platform::share_mode> modes();
  std::vector<sent_packet> sent();

  std::uint32_t open(const char* path, platform::share_mode mode, std::unique_ptr<platform::port_device>& out) override;
  bool query_dos_device(const char* dos_name, std::string& target, std::uint32_t& error) override;

  // Called by the devices.
  std::uint32_t exchange(const std::string& path, std::uint32_t code, std::span<std::uint8_t> packet,
                         std::uint32_t& returned);
  void closed();

 private:
  std::uint32_t answer(fake_adapter& a, std::span<std::uint8_t> packet);

  std::mutex lock_;
  std::map<int, fake_adapter> adapters_;
  bool every_port_ = false;
  std::uint32_t open_error_ = 0;
  std::deque<std::uint32_t> open_errors_;
  std::deque<std::uint32_t> errors_;
  std::uint32_t failure_returned_ = 0;
  std::function<void(std::span<std::uint8_t>)> reply_;
  std::string dos_target_;
  int opens_ = 0;
  int closes_ = 0;
  std::vector<platform::share_mode> modes_;
  std::vector<sent_packet> sent_;
};

}  // namespace kvx::test
