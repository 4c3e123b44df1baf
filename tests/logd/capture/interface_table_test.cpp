// Building the adapter table from the SCSI port map in the simulated registry
// and port devices that answer PCI_LOCATION.
#include "logd/capture/interface_table.h"

#include <gtest/gtest.h>

#include "logd/state_store.h"
#include "platform/host.h"
#include "tests/fakes/capture_fake_event_log.h"
#include "tests/fakes/fake_driver.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/store_session.h"

namespace kvx::logd {
namespace {

class InterfaceTable : public ::testing::Test {
 protected:
  void SetUp() override {
    set_max_retry_count(3);
    set_retry_frequency(0);
  }

  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (interface_entry* e = get_interface_table(); e != nullptr; e = get_next(e)) {
      out.push_back(get_symbolic_link_name(e));
    }
    return out;
  }

  test::temp_host host;
  test::fake_driver ports;
  platform::scoped_ports ports_guard{ports};
  test::capture_fake_event_logs logs;
  platform::scoped_event_logs logs_guard{logs};
  test::store_session store;
};

TEST_F(InterfaceTable, NoKvxwddPortGivesAnEmptyTableAndNoFailure) {
  test::add_port_map_entry(1, "otherdrv");
  ports.add_adapter(1, 0x0100);
  EXPECT_EQ(build_interface_table(0, 0), 0);
  EXPECT_EQ(get_interface_table(), nullptr);
  EXPECT_EQ(last_interface(), nullptr);
}

TEST_F(InterfaceTable, KvxwddPortsBecomeEntriesInPortOrder) {
  test::add_port_map_entry(5);
  test::add_port_map_entry(2);
  test::add_port_map_entry(7);  // in the map, but its device does not answer
  ports.add_adapter(5, 0x0000050A);
  ports.add_adapter(2, 0x0000020A);
  EXPECT_EQ(build_interface_table(0, 0), 0);
  EXPECT_EQ(names(), (std::vector<std::string>{"\\\\.\\scsi2", "\\\\.\\scsi5"}));
  interface_entry* first = get_interface_table();
  EXPECT_EQ(get_bus_dev_func(first), 0x020A);
  EXPECT_EQ(get_log_write_offset(first), 16);
  EXPECT_EQ(get_pending_flags(first), (std::array<std::uint8_t, 2>{0, 0}));
  EXPECT_EQ(get_busy(first), 0);
  EXPECT_EQ(find_interface(0x0503050A), get_next(first));
  EXPECT_EQ(last_interface(), get_next(first));
}

TEST_F(InterfaceTable, ARescanAddsOnlyThePortsAtTheKeysLocation) {
  test::add_port_map_entry(1);
  test::add_port_map_entry(3);
  test::add_port_map_entry(4);
  ports.add_adapter(1, 0x0000030B);
  ports.add_adapter(3, 0x0000020A);
  ports.add_adapter(4, 0x0001020A);  // upper bits take no part
  EXPECT_EQ(build_interface_table(1, 0x0503020A), 0);
  EXPECT_EQ(names(), (std::vector<std::string>{"\\\\.\\scsi3", "\\\\.\\scsi4"}));
  EXPECT_EQ(find_interface(0x0503020A), get_interface_table());
  EXPECT_EQ(find_interface(0x030B), nullptr);
  // Later additions go to the tail.
  EXPECT_EQ(build_interface_table(1, 0x030B), 0);
  EXPECT_EQ(names().back(), "\\\\.\\scsi1");
}

}  // namespace
}  // namespace kvx::logd
