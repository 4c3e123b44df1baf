// The simulator's hand-written configuration: keys, defaults, and errors that
// name their line.
#include "simulator/config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/win_codes.h"
#include "tests/fakes/temp_host.h"

namespace kvx::simulator {
namespace {

std::vector<adapter_config> parse_ok(const std::string& text) {
  std::vector<adapter_config> out;
  std::string error;
  EXPECT_EQ(parse_config(text, out, error), 0) << error;
  return out;
}

std::string parse_error(const std::string& text) {
  std::vector<adapter_config> out{adapter_config{}};
  std::string error;
  EXPECT_EQ(parse_config(text, out, error), 1) << text;
  EXPECT_EQ(out.size(), 1u) << "a failed parse leaves the output alone";
  return error;
}

TEST(SimulatorConfig, EveryKey) {
  const auto adapters = parse_ok(
      "# a full adapter\n"
      "[adapter]\n"
      "port = 2\n"
      "driver = kvxwdd\n"
      "pci_location = 0x0208\n"
      "driver_version = 3.0.1\n"
      "firmware_version = 11.00\n"
      "wwnn = 0x200000000000A000\n"
      "wwpn = 0x200000000000a001\n"
      "connection_type = 3\n"
      "link_speed = 0x10\n"
      "package_type = 4\n"
      "lsi_revision = 0xa5\n"
      "ec_level = C\n"
      "parts_number = 7RWP310XYZA\n"
      "device_object = \\Device\\Scsi\\kvxwdd1\n"
      "fail = hbainfo:1117, pkgtype\n");
  ASSERT_EQ(adapters.size(), 1u);
  const adapter_config& a = adapters[0];
  EXPECT_EQ(a.port, 2);
  EXPECT_EQ(a.driver, "kvxwdd");
  EXPECT_EQ(a.pci_location, 0x208u);
  EXPECT_EQ(a.driver_version, "3.0.1");
  EXPECT_EQ(a.firmware_version, "11.00");
  EXPECT_EQ(a.wwnn, 0x200000000000A000ull);
  EXPECT_EQ(a.wwpn, 0x200000000000A001ull);
  EXPECT_EQ(a.connection_type, 3);
  EXPECT_EQ(a.link_speed, 0x10);
  EXPECT_EQ(a.package_type, 4);
  EXPECT_EQ(a.lsi_revision, 0xA5);
  EXPECT_EQ(a.ec_level, 'C');
  EXPECT_EQ(a.parts_number, "7RWP310XYZA");
  EXPECT_EQ(a.device_object, "\\Device\\Scsi\\kvxwdd1");
  EXPECT_EQ(refusal_error(a, request_kind::hbainfo), 1117u);
  EXPECT_EQ(refusal_error(a, request_kind::pkgtype), win::error_invalid_parameter);
  EXPECT_EQ(refusal_error(a, request_kind::versions), 0u);
}

TEST(SimulatorConfig, DefaultsFollowThePortNumber) {
  const auto adapters = parse_ok("[adapter]\nport = 5\n[Adapter]\nport = 127\nec_level = none\n");
  ASSERT_EQ(adapters.size(), 2u);
  EXPECT_EQ(adapters[0].pci_location, 0x500u);
  EXPECT_EQ(adapters[0].wwnn, 0x2000000000000500ull);
  EXPECT_EQ(adapters[0].wwpn, 0x2000000000000501ull);
  EXPECT_EQ(adapters[0].device_object, "\\Device\\KvxPort5");
  EXPECT_EQ(adapters[0].driver_version, "2.1.4");
  EXPECT_EQ(adapters[0].parts_number, "7RTM254");
  EXPECT_EQ(adapters[0].ec_level, 'B');
  EXPECT_EQ(adapters[1].port, 127);
  EXPECT_EQ(adapters[1].ec_level, 0);
}

TEST(SimulatorConfig, UnsupportedFactsAndLayout) {
  const auto adapters = parse_ok(
      "\r\n; comment\r\n  [ adapter ]  \r\n  PORT=3\r\nparts_number = unsupported\r\nfirmware_version = unsupported\r\n"
      "driver_version =\r\n");
  ASSERT_EQ(adapters.size(), 1u);
  EXPECT_EQ(adapters[0].port, 3);
  EXPECT_FALSE(adapters[0].parts_number.has_value());
  EXPECT_EQ(refusal_error(adapters[0], request_kind::versions), win::error_invalid_parameter);
  EXPECT_EQ(adapters[0].driver_version, "");
  EXPECT_TRUE(parse_ok("# nothing configured\n").empty());
}

TEST(SimulatorConfig, ErrorsNameTheirLine) {
  struct bad {
    const char* text;
    const char* error;
  };
  const bad cases[] = {
      {"port = 1\n", "line 1: a key before the first [adapter] section"},
      {"[adapter]\nport = 1\ncolour = red\n", "line 3: unknown key 'colour'"},
      {"[adapter]\nport = 1\n[driver]\n", "line 3: unknown section [driver]"},
      {"[adapter]\nport 1\n", "line 2: expected 'key = value' or '[adapter]'"},
      {"[adapter]\nport = 1\nport = 2\n", "line 3: 'port' is given twice"},
      {"[adapter]\nport = 128\n", "line 2: port must be a number from 0 to 127"},
      {"[adapter]\nport = -1\n", "line 2: port must be"},
      {"[adapter]\nport = 1\n\n[adapter]\nport = 1\n", "line 4: port 1 is configured twice"},
      {"[adapter]\nlink_speed = 4\n", "line 1: [adapter] section without a port"},
      {"[adapter]\nport = 1\nparts_number = 7RTM254ABCDE\n", "line 3: parts_number is longer than 11"},
      {"[adapter]\nport = 1\npci_location = 0xZZ\n", "line 3: pci_location must be"},
      {"[adapter]\nport = 1\nlink_speed = 256\n", "line 3: link_speed must be a number from 0 to 255"},
      {"[adapter]\nport = 1\nec_level = BB\n", "line 3: ec_level must be one character"},
      {"[adapter]\nport = 1\nfail = everything\n", "line 3: fail takes a list"},
      {"[adapter]\nport = 1\nfail = hbainfo:0\n", "line 3: fail takes a list"},
      {"[adapter]\nport = 1\nwwpn = 0x10000000000000000\n", "line 3: wwpn must be a 64-bit number"},
      {"[adapter]\nport = 1\ndriver =\n", "line 3: driver must be 1 to 64"},
  };
  for (const bad& b : cases) {
    const std::string error = parse_error(b.text);
    EXPECT_EQ(error.rfind(b.error, 0), 0u) << "got: " << error;
  }
  EXPECT_EQ(parse_error("[adapter]\nport = 1\ndriver_version = " + std::string(256, 'v') + "\n"),
            "line 3: driver_version is longer than 255 characters");
  EXPECT_EQ(parse_error("[adapter]\nport = 1\nfirmware_version = " + std::string(152, 'v') + "\n"),
            "line 3: firmware_version is longer than 151 characters");
}

TEST(SimulatorConfig, Numbers) {
  std::uint64_t n = 0;
  EXPECT_TRUE(parse_number("0", 10, n));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE(parse_number("0x1F", 255, n));
  EXPECT_EQ(n, 31u);
  EXPECT_TRUE(parse_number("18446744073709551615", UINT64_MAX, n));
  EXPECT_EQ(n, UINT64_MAX);
  EXPECT_FALSE(parse_number("18446744073709551616", UINT64_MAX, n));
  EXPECT_FALSE(parse_number("256", 255, n));
  for (const char* bad : {"", "0x", "-1", "+1", "1 2", "12a", "0x1G"}) EXPECT_FALSE(parse_number(bad, 1000, n)) << bad;
}

TEST(SimulatorConfig, FilesNameThemselvesInErrors) {
  test::temp_host host;
  std::vector<adapter_config> out;
  std::string error;
  const std::string missing = (host.root() / "missing.ini").string();
  EXPECT_EQ(load_config(missing, out, error), 1);
  EXPECT_EQ(error, missing + ": cannot be read");

  const std::filesystem::path broken = host.root() / "broken.ini";
  std::ofstream(broken) << "[adapter]\nport = 1\nbogus\n";
  EXPECT_EQ(load_config(broken.string(), out, error), 1);
  EXPECT_EQ(error, broken.string() + ": line 3: expected 'key = value' or '[adapter]'");

  const std::filesystem::path binary = host.root() / "binary.ini";
  std::ofstream(binary, std::ios::binary) << std::string("[adapter]\0port", 14);
  EXPECT_EQ(load_config(binary.string(), out, error), 1);
  EXPECT_EQ(error, binary.string() + ": not a text file");
}

}  // namespace
}  // namespace kvx::simulator
