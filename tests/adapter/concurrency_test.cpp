// Many threads on the simulated port devices at once: every open and exchange
// is answered, and every handle is gone afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "adapter/control_packet.h"
#include "adapter/port_access.h"
#include "logd/capture/service_requests.h"
#include "logd/state_store.h"
#include "platform/win_codes.h"
#include "tests/fakes/adapter_simulator.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/interface_entries.h"
#include "tests/support/store_session.h"

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

TEST(LoggerRequestConcurrency, SharedRequestsBesideADetailDrainWithBusyAnswers) {
  test::temp_host host;
  test::running_simulator sim("[adapter]\nport = 0\npci_location = 0x0100\n[adapter]\nport = 1\n");
  ASSERT_TRUE(sim.started());
  const test::store_session store;
  logd::set_max_retry_count(50);
  logd::set_retry_frequency(0);
  logd::interface_entry* entry = test::link_entry_at_tail(test::port_device(1));
  for (int slot = 0; slot < 16; ++slot) {
    ASSERT_EQ(sim.control({"fill", "--port", "1", "--slot", std::to_string(slot)}).status, 0);
  }
  ASSERT_EQ(sim.control({"busy", "--port", "0", "--count", "20"}).status, 0);

  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&failures] {
      for (int r = 0; r < 20; ++r) {
        std::uint32_t location = 0;
        std::uint8_t versions[736];
        if (logd::request_pci_location("\\\\.\\scsi0", location) != 0 || location != 0x100 ||
            logd::request_adapter_data("\\\\.\\scsi0", DATA_VERSIONS, versions) != 0) {
          ++failures;
        }
      }
    });
  }
  // One drain of the other adapter, as the startup scan makes it.
  int released = 0;
  for (std::unique_ptr<detail_reply> reply = logd::request_detail_data(entry);
       reply && ((*reply)[0] != 0 || (*reply)[1] != 0); reply = logd::request_detail_data(entry)) {
    for (int slot = 0; slot < 16; ++slot) {
      if (slot_occupied(*reply, slot) && logd::release_detail_slot(entry, slot) == 0) ++released;
    }
  }
  for (std::thread& w : workers) w.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(released, 16);
  EXPECT_EQ(logd::get_last_error(entry), 0);
  EXPECT_EQ(logd::get_interface_table(), entry) << "the adapter's exclusive opens never met another handle";
}

// The service's own requests to one adapter never meet each other at the
// driver's exclusive open: a writer's shared version requests beside the
// retry thread's detail requests leave the adapter in the table.
TEST(LoggerRequestConcurrency, OwnRequestsToOneAdapterNeverDropIt) {
  test::temp_host host;
  test::running_simulator sim("[adapter]\nport = 3\npci_location = 0x0300\n");
  ASSERT_TRUE(sim.started());
  const test::store_session store;
  logd::set_max_retry_count(5);
  logd::set_retry_frequency(0);
  logd::interface_entry* entry = test::link_entry_at_tail(test::port_device(3));

  std::atomic<int> failures{0};
  std::thread shared_side([&failures] {
    for (int r = 0; r < 60; ++r) {
      std::uint8_t names[2296];
      if (logd::request_adapter_data("\\\\.\\scsi3", DATA_PORT_NAMES, names) != 0) ++failures;
    }
  });
  for (int r = 0; r < 60; ++r) {
    if (!logd::request_detail_data(entry)) ++failures;
  }
  shared_side.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(logd::get_interface_table(), entry) << "the adapter was dropped by its own service's requests";
}

}  // namespace
}  // namespace kvx::adapter
