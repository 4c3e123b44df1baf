// The SCSI port probe against the simulated registry of a throw-away host.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adapter/port_probe.h"
#include "platform/host.h"
#include "platform/registry.h"
#include "platform/win_codes.h"
#include "tests/fakes/adapter_scripted_ports.h"
#include "tests/fakes/temp_host.h"

namespace kvx::adapter {
namespace {

/// Writes the port map entry of `port` with exactly `driver` as its data.
void set_driver(int port, const std::string& driver, const char* key_form = "SCSI PORT ") {
  platform::unique_reg_key key;
  const std::string path = std::string("HARDWARE\\DEVICEMAP\\SCSI\\") + key_form + std::to_string(port);
  ASSERT_EQ(platform::host_registry().create_key(platform::hive_root::local_machine, path.c_str(), win::key_all_access,
                                                 key, nullptr),
            win::error_success);
  ASSERT_EQ(key->set_value("Driver", win::reg_sz, reinterpret_cast<const std::uint8_t*>(driver.data()),
                           static_cast<std::uint32_t>(driver.size())),
            win::error_success);
}

std::string probe(int port, name_form form) {
  char name[port_name_size];
  std::memset(name, '#', sizeof name);
  if (probe_scsi_port(port, name, form) != 0) {
    for (char c : name) EXPECT_EQ(c, '#') << "a failed probe leaves the name untouched";
    return "<none>";
  }
  const std::size_t length = strnlen(name, sizeof name);
  EXPECT_LT(length, sizeof name);
  for (std::size_t i = length; i < sizeof name; ++i) EXPECT_EQ(name[i], 0) << "the name buffer is zeroed";
  return std::string(name, length);
}

class PortProbe : public ::testing::Test {
 protected:
  test::temp_host host;
};

TEST_F(PortProbe, ExactDriverNameInBothForms) {
  set_driver(2, std::string("kvxwdd", 7));
  EXPECT_EQ(probe(2, name_form::short_), "scsi2");
  EXPECT_EQ(probe(2, name_form::device), "\\\\.\\scsi2");
  set_driver(3, "kvxwdd");  // stored without its zero byte: the zeroed buffer ends it
  EXPECT_EQ(probe(3, name_form::short_), "scsi3");
}

TEST_F(PortProbe, OtherDriversCaseAndLongerNamesAreNoMatch) {
  set_driver(1, std::string("KVXWDD", 7));
  set_driver(2, std::string("kvxwdd2", 8));
  set_driver(3, std::string("kvxwd", 6));
  set_driver(4, std::string("otherdrv", 9));
  set_driver(5, std::string(16, 'k') + '\0');         // does not fit the 16-byte buffer
  set_driver(6, std::string("kvxwdd\0padding", 15));  // the six letters, then the zero byte
  for (int port = 1; port <= 5; ++port) EXPECT_EQ(probe(port, name_form::short_), "<none>") << port;
  EXPECT_EQ(probe(6, name_form::short_), "scsi6");
}

TEST_F(PortProbe, WalkFindsOnlyTheDriversPortsAcrossGaps) {
  set_driver(0, std::string("kvxwdd", 7));
  set_driver(9, std::string("other", 6));
  set_driver(64, std::string("kvxwdd", 7), "Scsi Port ");  // key names ignore case
  set_driver(127, std::string("kvxwdd", 7));
  std::vector<std::string> found;
  for (int port = 0; port <= max_scsi_port; ++port) {
    if (const std::string n = probe(port, name_form::device); n != "<none>") found.push_back(n);
  }
  EXPECT_EQ(found, (std::vector<std::string>{"\\\\.\\scsi0", "\\\\.\\scsi64", "\\\\.\\scsi127"}));
  EXPECT_EQ(probe(127, name_form::device).size(), 11u);
}

TEST_F(PortProbe, PortsOutsideTheRangeAndMissingValues) {
  set_driver(128, std::string("kvxwdd", 7));
  EXPECT_EQ(probe(128, name_form::short_), "<none>");
  EXPECT_EQ(probe(-1, name_form::short_), "<none>");
  platform::unique_reg_key key;
  ASSERT_EQ(
      platform::host_registry().create_key(platform::hive_root::local_machine, "HARDWARE\\DEVICEMAP\\SCSI\\SCSI PORT 7",
                                           win::key_all_access, key, nullptr),
      win::error_success);
  EXPECT_EQ(probe(7, name_form::short_), "<none>") << "a key without a Driver value";
  EXPECT_EQ(probe(8, name_form::short_), "<none>") << "no key at all";
}

TEST(DeviceObjectName, FirstTargetWithinTheBuffer) {
  test::scripted_ports ports;
  platform::scoped_ports installed(ports);
  std::string name = "unchanged";
  EXPECT_EQ(query_device_object_name("scsi2", name), -1);
  EXPECT_EQ(name, "unchanged");
  ports.set_dos_target("\\Device\\KvxPort2");
  ASSERT_EQ(query_device_object_name("scsi2", name), 0);
  EXPECT_EQ(name, "\\Device\\KvxPort2");
  ports.set_dos_target(std::string(62, 'd'));  // with its two zero bytes: exactly 64
  EXPECT_EQ(query_device_object_name("scsi2", name), 0);
  ports.set_dos_target(std::string(63, 'd'));
  EXPECT_EQ(query_device_object_name("scsi2", name), -1);
}

}  // namespace
}  // namespace kvx::adapter
