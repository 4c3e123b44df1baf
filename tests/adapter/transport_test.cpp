// The simulated host's port devices, served by the driver simulator in this
// process: Windows share semantics, missing and vanished devices, and the
// exchange itself.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "adapter/byte_order.h"
#include "adapter/control_packet.h"
#include "adapter/port_access.h"
#include "adapter/port_probe.h"
#include "platform/sim/port_protocol.h"
#include "platform/win_codes.h"
#include "tests/fakes/adapter_simulator.h"
#include "tests/fakes/temp_host.h"

namespace kvx::adapter {
namespace {

using platform::share_mode;

std::uint32_t open_error(const char* path, share_mode mode, port_handle& handle) {
  std::uint32_t error = 0;
  handle = open_port_device(path, mode, error);
  EXPECT_EQ(error == win::error_success, handle != nullptr);
  return error;
}

std::uint32_t exchange_pci(platform::port_device& device, std::uint32_t& location) {
  packet_bytes packet(command_packet_size(PCI_LOCATION), 0);
  EXPECT_EQ(build_command_packet(packet, PCI_LOCATION), 0);
  std::uint32_t error = 0;
  std::uint32_t returned = 0;
  if (exchange_packet(device, packet, error, returned) == 0) {
    EXPECT_EQ(returned, 188u);
    EXPECT_EQ(read_pci_location(packet, location), 0);
  }
  return error;
}

class Transport : public ::testing::Test {
 protected:
  test::temp_host host;
};

TEST_F(Transport, ShareModesFollowWindows) {
  test::running_simulator sim("[adapter]\nport = 2\n");
  ASSERT_TRUE(sim.started());
  const char* path = "\\\\.\\scsi2:";
  port_handle a, b, c;
  EXPECT_EQ(open_error(path, share_mode::shared, a), win::error_success);
  EXPECT_EQ(open_error(path, share_mode::shared, b), win::error_success);
  EXPECT_EQ(open_error(path, share_mode::exclusive, c), win::error_sharing_violation);
  a.reset();
  EXPECT_EQ(open_error(path, share_mode::exclusive, c), win::error_sharing_violation) << "b is still open";
  b.reset();
  // A close is finished when it returns, so the exclusive open succeeds at once.
  EXPECT_EQ(open_error(path, share_mode::exclusive, c), win::error_success);
  EXPECT_EQ(open_error(path, share_mode::shared, a), win::error_sharing_violation);
  EXPECT_EQ(open_error(path, share_mode::exclusive, b), win::error_sharing_violation);
  EXPECT_NE(sim.control({"status"}).out.find("open handles: 0 shared, 1 exclusive"), std::string::npos);
  c.reset();
  EXPECT_EQ(open_error(path, share_mode::shared, a), win::error_success);
}

TEST_F(Transport, DeviceNamesAndMissingDevices) {
  test::running_simulator sim("[adapter]\nport = 2\n");
  port_handle h;
  EXPECT_EQ(open_error("\\\\.\\SCSI2:", share_mode::shared, h), win::error_success) << "device names ignore case";
  EXPECT_EQ(open_error("\\\\.\\scsi2", share_mode::shared, h), win::error_success);
  for (const char* bad :
       {"\\\\.\\scsi3:", "\\\\.\\..\\scsi2", "\\\\.\\scsi2/", "C:\\scsi2", "", "\\\\.\\", "\\\\.\\kvxsim.control"}) {
    EXPECT_EQ(open_error(bad, share_mode::shared, h), win::error_file_not_found) << bad;
  }
}

TEST_F(Transport, ExchangesBusyAnswersAndBadRequests) {
  test::running_simulator sim("[adapter]\nport = 4\npci_location = 0x020a\n");
  port_handle h;
  ASSERT_EQ(open_error("\\\\.\\scsi4:", share_mode::shared, h), win::error_success);
  std::uint32_t location = 0;
  EXPECT_EQ(exchange_pci(*h, location), win::error_success);
  EXPECT_EQ(location, 0x020Au);

  sim.control({"busy", "--port", "4", "--count", "2"});
  packet_bytes packet(188, 0);
  ASSERT_EQ(build_command_packet(packet, PCI_LOCATION), 0);
  const packet_bytes sent = packet;
  std::uint32_t error = 0;
  std::uint32_t returned = 0;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(exchange_packet(*h, packet, error, returned), 1);
    EXPECT_EQ(error, win::error_busy);
    EXPECT_EQ(packet, sent) << "a busy answer leaves the packet as it was sent";
  }
  EXPECT_EQ(exchange_packet(*h, packet, error, returned), 0);

  // Not a packet of the control protocol.
  packet_bytes junk(188, 0);
  EXPECT_EQ(exchange_packet(*h, junk, error, returned), 1);
  EXPECT_EQ(error, win::error_invalid_parameter);
  EXPECT_EQ(h->io_control(0x12345678, packet.data(), 188, returned), win::error_invalid_parameter);
  EXPECT_EQ(h->io_control(platform::ioctl_scsi_miniport, nullptr, 0, returned), win::error_invalid_parameter);
}

TEST_F(Transport, UnpluggedDeviceVanishesButItsPortMapEntryStays) {
  test::running_simulator sim("[adapter]\nport = 6\n");
  char name[port_name_size] = {};
  ASSERT_EQ(probe_scsi_port(6, name, name_form::device), 0);
  port_handle h;
  ASSERT_EQ(open_error("\\\\.\\scsi6:", share_mode::shared, h), win::error_success);

  EXPECT_EQ(sim.control({"unplug", "--port", "6"}).status, 0);
  std::uint32_t location = 0;
  EXPECT_EQ(exchange_pci(*h, location), win::error_gen_failure) << "the open handle lost its device";
  port_handle again;
  EXPECT_EQ(open_error("\\\\.\\scsi6:", share_mode::shared, again), win::error_file_not_found);
  std::string target;
  std::uint32_t error = 0;
  EXPECT_FALSE(platform::host_ports().query_dos_device("scsi6:", target, error));
  EXPECT_EQ(error, win::error_file_not_found);
  EXPECT_EQ(probe_scsi_port(6, name, name_form::device), 0);
  h.reset();  // closing a handle whose device is gone is harmless

  EXPECT_EQ(sim.control({"plug", "--port", "6"}).status, 0);
  EXPECT_EQ(open_error("\\\\.\\scsi6:", share_mode::exclusive, again), win::error_success);
  EXPECT_EQ(exchange_pci(*again, location), win::error_success);
}

TEST_F(Transport, DosDeviceNamesComeFromTheSimulator) {
  test::running_simulator sim("[adapter]\nport = 2\n[adapter]\nport = 3\ndevice_object = \\Device\\Scsi\\kvxwdd1\n");
  std::string target;
  std::uint32_t error = 0;
  ASSERT_TRUE(platform::host_ports().query_dos_device("scsi2:", target, error));
  EXPECT_EQ(target, "\\Device\\KvxPort2");
  ASSERT_TRUE(platform::host_ports().query_dos_device("scsi3:", target, error));
  EXPECT_EQ(target, "\\Device\\Scsi\\kvxwdd1");
  EXPECT_FALSE(platform::host_ports().query_dos_device("scsi4:", target, error));
  EXPECT_EQ(sim.control({"status"}).out.find("open handles: 0 shared, 0 exclusive") != std::string::npos, true)
      << "a look-up opens no handle";
}

TEST_F(Transport, ServerThatEndsTakesItsDevicesAndPortMapAlong) {
  port_handle h;
  {
    test::running_simulator sim("[adapter]\nport = 9\n");
    ASSERT_EQ(open_error("\\\\.\\scsi9:", share_mode::shared, h), win::error_success);
  }
  std::uint32_t location = 0;
  EXPECT_EQ(exchange_pci(*h, location), win::error_gen_failure);
  port_handle again;
  EXPECT_EQ(open_error("\\\\.\\scsi9:", share_mode::shared, again), win::error_file_not_found);
  char name[port_name_size] = {};
  EXPECT_EQ(probe_scsi_port(9, name, name_form::short_), -1);
}

TEST_F(Transport, StaleSocketOfADeadServerIsAMissingDevice) {
  const std::filesystem::path path = sim::device_socket_path("scsi5");
  {
    sim::unique_fd listener;
    ASSERT_EQ(sim::listen_socket(path, listener), 0);
  }  // closed without unlinking, as a killed server leaves it
  ASSERT_TRUE(std::filesystem::exists(path));
  port_handle h;
  EXPECT_EQ(open_error("\\\\.\\scsi5:", share_mode::shared, h), win::error_file_not_found);
  // A new server takes the name over.
  test::running_simulator sim("[adapter]\nport = 5\n");
  EXPECT_EQ(open_error("\\\\.\\scsi5:", share_mode::shared, h), win::error_success);
}

TEST_F(Transport, SecondServerOnTheSameHostIsRefused) {
  test::running_simulator first("[adapter]\nport = 1\n");
  std::vector<simulator::adapter_config> adapters;
  adapters.push_back(test::sim_adapter(2));
  simulator::server second(adapters);
  std::string error;
  EXPECT_EQ(second.start(error), 1);
  EXPECT_NE(error.find("already serving"), std::string::npos) << error;
  port_handle h;
  EXPECT_EQ(open_error("\\\\.\\scsi2:", share_mode::shared, h), win::error_file_not_found) << "nothing left behind";
}

TEST(SystemMessages, TableAndLookupFailure) {
  std::string text;
  std::uint32_t lookup = 0;
  ASSERT_TRUE(platform::system_message_text(win::error_busy, text, lookup));
  EXPECT_EQ(text, "The requested resource is in use.\n");
  for (std::uint32_t code : {2u, 5u, 6u, 31u, 32u, 87u, 1117u}) {
    EXPECT_TRUE(platform::system_message_text(code, text, lookup)) << code;
    EXPECT_EQ(text.back(), '\n');
  }
  EXPECT_FALSE(platform::system_message_text(4321, text, lookup));
  EXPECT_EQ(lookup, 317u);
}

}  // namespace
}  // namespace kvx::adapter
