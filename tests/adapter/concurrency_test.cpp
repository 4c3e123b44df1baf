// Many threads on the simulated port devices at once: every open and exchange
// is answered, and every handle is gone afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "adapter/control_packet.h"
#include "adapter/port_access.h"
#include "platform/win_codes.h"
#include "tests/fakes/adapter_simulator.h"
#include "tests/fakes/temp_host.h"

namespace kvx::adapter {
namespace {

TEST(TransportConcurrency, ParallelSharedRequestsOnSeveralPorts) {
  test::temp_host host;
  test::running_simulator sim("[adapter]\nport = 0\n[adapter]\nport = 1\n[adapter]\nport = 2\n[adapter]\nport = 3\n");
  ASSERT_TRUE(sim.started());
  constexpr int threads = 8;
  constexpr int rounds = 40;
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t, &failures] {
      const std::string path = "\\\\.\\scsi" + std::to_string(t % 4) + ":";
      for (int r = 0; r < rounds; ++r) {
        std::uint32_t error = 0;
        port_handle h = open_port_device(path.c_str(), platform::share_mode::shared, error);
        packet_bytes packet(command_packet_size(PCI_LOCATION), 0);
        std::uint32_t returned = 0;
        std::uint32_t location = 0;
        if (!h || build_command_packet(packet, PCI_LOCATION) != 0 ||
            exchange_packet(*h, packet, error, returned) != 0 || read_pci_location(packet, location) != 0 ||
            location != static_cast<std::uint32_t>((t % 4) << 8)) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& w : workers) w.join();
  EXPECT_EQ(failures.load(), 0);
  const std::string status = sim.control({"status"}).out;
  auto count = [&status](const std::string& text) {
    int n = 0;
    for (std::size_t at = status.find(text); at != std::string::npos; at = status.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("open handles: 0 shared, 0 exclusive, busy answers left: 0, exchanges: 80,"), 4) << status;
}

}  // namespace
}  // namespace kvx::adapter
