// kvxls against the driver simulator: whole standard output and standard
// error compared for every case the listing distinguishes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "adapter/port_access.h"
#include "listtool/listing.h"
#include "tests/fakes/adapter_simulator.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/process.h"

namespace kvx::listtool {
namespace {

const std::string banner = "kvxls ver. 1.16  Copyright (C) Velmora. All rights reserved.  \n";
const std::string end_line = "\n-------- end of list --------\n";

/// The block of the made-up adapter, after its empty line.
const std::string made_up_block =
    "--- Device symbolic name           : scsi2\n"
    "    PCI Vendor id/Device id        : 1F7B/6A21\n"
    "    EC level                       : B\n"
    "    PCI Bus/Device/Function number : 3/0/1\n"
    "    Parts Number                   : 7RTM254\n"
    "    Model Name                     : KVX4120\n"
    "    Driver version                 : 2.1.4\n"
    "    Firmware version               : 10.02\n"
    "    World wide port name           : 20000000 0000a001\n"
    "    World wide node name           : 20000000 0000a000\n"
    "    Connection type                : Point to Point (fablic)\n"
    "    Link speed                     : 4 Gbps\n";

const std::string made_up_config =
    "[adapter]\n"
    "port = 2\n"
    "pci_location = 0x0301\n"
    "driver_version = 2.1.4\n"
    "firmware_version = 10.02\n"
    "wwnn = 0x200000000000a000\n"
    "wwpn = 0x200000000000a001\n"
    "connection_type = 2\n"
    "link_speed = 4\n"
    "package_type = 1\n"
    "lsi_revision = 0x3c\n"
    "ec_level = B\n"
    "parts_number = 7RTM254\n";

/// The made-up block with one line replaced.
std::string with_line(std::string block, const std::string& label, const std::string& value) {
  const std::size_t at = block.find(label);
  const std::size_t colon = block.find(": ", at) + 2;
  const std::size_t end = block.find('\n', colon);
  return block.replace(colon, end - colon, value);
}

class Kvxls : public ::testing::Test {
 protected:
  test::temp_host host;

  test::command_result kvxls(const std::vector<std::string>& args = {}) {
    const test::command_result r = test::run_built("listtool/kvxls", args);
    EXPECT_EQ(r.status, 0);
    return r;
  }
};

TEST_F(Kvxls, MadeUpAdapterReproducedExactly) {
  test::running_simulator sim(made_up_config);
  const test::command_result r = kvxls();
  EXPECT_EQ(r.out, banner + "\n" + made_up_block + end_line);
  EXPECT_EQ(r.err, "");
}

TEST_F(Kvxls, NoAdapterAtAll) {
  const test::command_result r = kvxls();
  EXPECT_EQ(r.out, banner + end_line);
  EXPECT_EQ(r.err, "");
}

TEST_F(Kvxls, DetailModeOnlyForExactlyDashDN) {
  test::running_simulator sim(made_up_config);
  std::string detailed = made_up_block;
  detailed.insert(detailed.find("    PCI Vendor"), "    Device object name             : \\Device\\KvxPort2\n");
  detailed.insert(detailed.find("    EC level"), "    LSI revision                   : 3C\n");
  EXPECT_EQ(kvxls({"-DN"}).out, banner + "\n" + detailed + end_line);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"-dn"}, {"-DN", "x"}, {"-DNX"}, {"x", "-DN"}}) {
    EXPECT_EQ(kvxls(args).out, banner + "\n" + made_up_block + end_line) << testing::PrintToString(args);
  }
}

TEST_F(Kvxls, PortsThatAreNotListed) {
  // Port 1: another driver; port 3: the name in capitals; port 4: unplugged;
  // port 5: held open exclusively by another program.
  test::running_simulator sim(made_up_config +
                              "[adapter]\nport = 1\ndriver = otherdrv\n"
                              "[adapter]\nport = 3\ndriver = KVXWDD\n"
                              "[adapter]\nport = 4\n"
                              "[adapter]\nport = 5\n");
  ASSERT_EQ(sim.control({"unplug", "--port", "4"}).status, 0);
  std::uint32_t error = 0;
  adapter::port_handle held = adapter::open_port_device("\\\\.\\scsi5:", platform::share_mode::exclusive, error);
  ASSERT_NE(held, nullptr);
  const test::command_result r = kvxls();
  EXPECT_EQ(r.out, banner + "\n" + made_up_block + end_line);
  EXPECT_EQ(r.err, "");
}

TEST_F(Kvxls, DriverWithoutPartsNumber) {
  test::running_simulator sim(made_up_config.substr(0, made_up_config.find("parts_number")) +
                              "parts_number = unsupported\n");
  std::string block = with_line(made_up_block, "Parts Number", "driver not support ");
  block = with_line(block, "Model Name", "driver not support ");
  const test::command_result r = kvxls();
  EXPECT_EQ(r.out, banner + "\n" + block + end_line);
  EXPECT_EQ(r.err, "") << "the parts number request fails silently";
}

TEST_F(Kvxls, ValuesOutsideTheTables) {
  test::running_simulator sim(
      "[adapter]\nport = 0\npci_location = 0\npackage_type = 7\nlink_speed = 0x10\nconnection_type = 0\n"
      "ec_level = none\nparts_number = 7RTM254ABCD\nwwnn = 0x200000000000a000\nwwpn = 0x200000000000a001\n"
      "[adapter]\nport = 1\npci_location = 0x0301\nlink_speed = 0\nconnection_type = 5\nparts_number = XYZ\n"
      "wwnn = 0x200000000000a000\nwwpn = 0x200000000000a001\n"
      "[adapter]\nport = 2\npci_location = 0x0301\nconnection_type = 0x2e\nparts_number = 7RTM254\n"
      "wwnn = 0x200000000000a000\nwwpn = 0x200000000000a001\n");
  std::string first = with_line(made_up_block, "PCI Vendor", "1F7B/FFFF");
  first = with_line(first, "EC level", "driver not support ");
  first = with_line(first, "PCI Bus", "0/0/0");
  first = with_line(first, "Parts Number", "7RTM254ABCD");
  first = with_line(first, "Connection type", "-");
  first = with_line(first, "Link speed", "10 Gbps");
  first = with_line(first, "symbolic name", "scsi0");
  std::string second = with_line(made_up_block, "symbolic name", "scsi1");
  second = with_line(second, "Parts Number", "XYZ");
  second = with_line(second, "Model Name", "Unknown Model");
  second = with_line(second, "Connection type", "-");
  second = with_line(second, "Link speed", "-");
  const std::string third = with_line(made_up_block, "Connection type", "-");
  const test::command_result r = kvxls();
  EXPECT_EQ(r.out, banner + "\n" + first + "\n" + second + "\n" + third + end_line);
}

TEST_F(Kvxls, RequestsThatFailPartWayStopTheBlockAndReport) {
  test::running_simulator sim(
      "[adapter]\nport = 0\nfirmware_version = unsupported\n"
      "[adapter]\nport = 1\nfail = hbainfo:1234\n"
      "[adapter]\nport = 2\nfail = pci_location:31\n"
      "[adapter]\nport = 3\nfail = pkgtype:170\n" +
      made_up_config.substr(made_up_config.find("port = 2\n") + 9).insert(0, "[adapter]\nport = 4\n"));
  const test::command_result r = kvxls({"-DN"});
  const std::string expected_block = with_line(made_up_block, "symbolic name", "scsi4");
  std::string detailed = expected_block;
  detailed.insert(detailed.find("    PCI Vendor"), "    Device object name             : \\Device\\KvxPort4\n");
  detailed.insert(detailed.find("    EC level"), "    LSI revision                   : 3C\n");
  auto head = [](int port) {
    return "\n--- Device symbolic name           : scsi" + std::to_string(port) +
           "\n    Device object name             : \\Device\\KvxPort" + std::to_string(port) + "\n";
  };
  EXPECT_EQ(r.out, banner + head(0) + head(1) + head(2) + head(3) + "\n" + detailed + end_line);
  EXPECT_EQ(r.err,
            "DeviceIoControl(1) error. RtnLen=0\n: The parameter is incorrect.\n"
            "DeviceIoControl(HBAINFO) error. RtnLen=0\n: Error 317.\n"
            "DeviceIoControl(PkgType) error. RtnLen=0\n: The requested resource is in use.\n");
}

// The listing that the Wine check (tests/wine/checks/kvxls.sh) expects of
// kvxls.exe behind the stand-in driver: this host's output for the same
// configuration, kept in tests/data/standin.
TEST_F(Kvxls, ListingThatTheWineCheckExpects) {
  const std::filesystem::path data = std::filesystem::path(KVX_TEST_DATA_DIR) / "standin";
  test::running_simulator sim(test::read_file(data / "kvxls.ini"));
  ASSERT_EQ(sim.control({"unplug", "--port", "5"}).status, 0);
  const test::command_result plain = kvxls();
  const test::command_result detailed = kvxls({"-DN"});
  EXPECT_EQ(plain.out, test::read_file(data / "kvxls.out"));
  EXPECT_EQ(detailed.out, test::read_file(data / "kvxls-DN.out"));
  EXPECT_EQ(plain.err, test::read_file(data / "kvxls.err"));
  EXPECT_EQ(detailed.err, plain.err);
  // -json in any case and with either prefix: one document, the failures in
  // it and not on standard error.
  for (const char* word : {"-json", "/JSON", "-Json"}) {
    const test::command_result json = kvxls({word});
    EXPECT_EQ(json.out, test::read_file(data / "kvxls.json")) << word;
    EXPECT_EQ(json.err, "");
  }
  EXPECT_EQ(kvxls({"-json", "x"}).out, plain.out) << "-json alone on the command line";
}

// The document, read by Python's own JSON parser (tests/kvxlog/json_fields.py,
// which also checks every key and type), holds what the listing and -DN show.
TEST_F(Kvxls, JsonHoldsEveryFieldOfTheListingAndTheDetailMode) {
  test::running_simulator sim(made_up_config + "[adapter]\nport = 3\nfail = pkgtype:170\n" +
                              "[adapter]\nport = 4\nparts_number = unsupported\nec_level = none\n");
  test::run_options o;
  o.input = kvxls({"-json"}).out;
  const std::filesystem::path script = std::filesystem::path(KVX_TEST_DATA_DIR) / ".." / "kvxlog" / "json_fields.py";
  const test::command_result parsed = test::run_command({"/usr/bin/python3", script.string(), "document"}, o);
  ASSERT_EQ(parsed.status, 0) << parsed.err << o.input;
  EXPECT_EQ(parsed.out,
            "program=kvxls version=1.16\n"
            "port=2 symbolic_name=scsi2 device_object_name=\\Device\\KvxPort2 complete=true pci_vendor_id=8059 "
            "pci_device_id=27169 lsi_revision=60 ec_level=B pci_bus=3 pci_device=0 pci_function=1 parts_number=7RTM254 "
            "model_name=KVX4120 driver_version=2.1.4 firmware_version=10.02 world_wide_port_name=200000000000a001 "
            "world_wide_node_name=200000000000a000 connection_type=2 connection_type_text=Point to Point (fablic) "
            "link_speed=4 link_speed_text=4 Gbps failed_requests=\n"
            "port=3 symbolic_name=scsi3 device_object_name=\\Device\\KvxPort3 complete=false pci_vendor_id=null "
            "pci_device_id=null lsi_revision=null ec_level=null pci_bus=null pci_device=null pci_function=null "
            "parts_number=null model_name=null driver_version=null firmware_version=null world_wide_port_name=null "
            "world_wide_node_name=null connection_type=null connection_type_text=null link_speed=null "
            "link_speed_text=null failed_requests=PkgType/DeviceIoControl/\\\\.\\scsi3:/0/170/The requested "
            "resource is in use.\n"
            "port=4 symbolic_name=scsi4 device_object_name=\\Device\\KvxPort4 complete=true pci_vendor_id=8059 "
            "pci_device_id=27169 lsi_revision=0 ec_level=null pci_bus=4 pci_device=0 pci_function=0 parts_number=null "
            "model_name=null driver_version=2.1.4 firmware_version=10.02 world_wide_port_name=2000000000000401 "
            "world_wide_node_name=2000000000000400 connection_type=2 connection_type_text=Point to Point (fablic) "
            "link_speed=4 link_speed_text=4 Gbps "
            "failed_requests=DATA_PARTS_NUMBER/DeviceIoControl/\\\\.\\scsi4:/0/87/The "
            "parameter is incorrect.\n");
}

TEST(ModelTable, FirstSevenCharactersInTableOrder) {
  const std::pair<const char*, const char*> rows[] = {
      {"7RTM215", "KVX2110"},   {"7RTM226", "KVX2140"},   {"7RTM227", "KVX2120"},   {"7RTM228", "KVX2110"},
      {"7RTM239", "KVX5100"},   {"7RTM254", "KVX4120"},   {"7RTM255", "KVX4110"},   {"7RWP310", "KVX4110-E"},
      {"7RWP332", "KVX4120-E"}, {"7RWP333", "KVX4110-E"}, {"7KD6410", "KVX4120-R"}, {"7KD6411", "KVX4110-R"},
  };
  for (auto [parts, model] : rows) EXPECT_STREQ(model_name(parts), model) << parts;
  EXPECT_STREQ(model_name("7KD6411-99Z"), "KVX4110-R");
  EXPECT_STREQ(model_name("7RTM25"), "Unknown Model");
  EXPECT_STREQ(model_name("7rtm254"), "Unknown Model");
  EXPECT_STREQ(model_name(""), "Unknown Model");
  EXPECT_STREQ(connection_type_text(1), "Point to Point");
  EXPECT_STREQ(connection_type_text(3), "FC-AL");
  EXPECT_STREQ(connection_type_text(4), "FC-AL (fablic)");
  EXPECT_STREQ(connection_type_text(0x2E), "-");
  EXPECT_EQ(link_speed_text(0xFF), "ff Gbps");
}

}  // namespace
}  // namespace kvx::listtool
