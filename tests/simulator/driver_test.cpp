// The simulated driver's answers to every control packet, byte for byte.
#include "simulator/driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "adapter/byte_order.h"
#include "adapter/control_packet.h"
#include "platform/port_device.h"
#include "platform/win_codes.h"
#include "simulator/control.h"

namespace kvx::simulator {
namespace {

using namespace kvx::adapter;
using bytes = std::vector<std::uint8_t>;

adapter_state make_adapter() {
  adapter_state a;
  a.config.port = 2;
  a.config.pci_location = 0x0301;
  a.config.wwnn = 0x200000000000a000ull;
  a.config.wwpn = 0x200000000000a001ull;
  a.config.connection_type = 3;
  a.config.link_speed = 0x10;
  a.config.package_type = 4;
  a.config.lsi_revision = 0x21;
  a.config.ec_level = 'D';
  return a;
}

bytes command(std::uint8_t sub, std::uint32_t slot = 0) {
  bytes p(command_packet_size(sub), 0);
  EXPECT_EQ(build_command_packet(p, sub, slot), 0);
  return p;
}

bytes adapter_data(int type) {
  bytes p(adapter_data_packet_size(type), 0);
  EXPECT_EQ(build_adapter_data_packet(p, type), 0);
  return p;
}

answer ask(adapter_state& a, bytes& p) { return answer_packet(a, platform::ioctl_scsi_miniport, p); }

TEST(SimulatedDriver, CommandRepliesCarryTheConfiguredFacts) {
  adapter_state a = make_adapter();
  bytes pci = command(PCI_LOCATION);
  answer r = ask(a, pci);
  EXPECT_EQ(r.error, 0u);
  EXPECT_EQ(r.returned, 188u);
  std::uint32_t location = 0;
  ASSERT_EQ(read_pci_location(pci, location), 0);
  EXPECT_EQ(location, 0x0301u);

  bytes info = command(HBAINFO);
  EXPECT_EQ(ask(a, info).error, 0u);
  EXPECT_EQ(info[28], 3);
  EXPECT_EQ(info[29], 0x10);

  bytes pkg = command(PkgType);
  EXPECT_EQ(ask(a, pkg).error, 0u);
  EXPECT_EQ(pkg[28 + 9], 4);
  EXPECT_EQ(pkg[28 + 10], 0x21);
  EXPECT_EQ(pkg[28 + 11], 'D');
  EXPECT_EQ(a.exchanges, 3u);
}

TEST(SimulatedDriver, AdapterDataOfTheThreeTypes) {
  adapter_state a = make_adapter();
  bytes versions = adapter_data(DATA_VERSIONS);
  EXPECT_EQ(ask(a, versions).error, 0u);
  EXPECT_EQ(driver_version_text(adapter_data_area(versions, DATA_VERSIONS)), "2.1.4");
  EXPECT_EQ(firmware_version_text(adapter_data_area(versions, DATA_VERSIONS)), "10.02");

  bytes names = adapter_data(DATA_PORT_NAMES);
  EXPECT_EQ(ask(a, names).error, 0u);
  const auto area = adapter_data_area(names, DATA_PORT_NAMES);
  EXPECT_EQ(world_wide_node_name(area), 0x200000000000a000ull);
  EXPECT_EQ(world_wide_port_name(area), 0x200000000000a001ull);
  EXPECT_EQ(area[0], 0) << "the data area is the driver's answer, not the 1 that was sent";

  a.config.parts_number = "7RTM254ABCD";  // eleven characters, no room for a zero byte
  bytes parts = adapter_data(DATA_PARTS_NUMBER);
  EXPECT_EQ(ask(a, parts).error, 0u);
  const auto p = adapter_data_area(parts, DATA_PARTS_NUMBER);
  EXPECT_EQ(std::string(p.begin(), p.end()), "7RTM254ABCD");

  a.config.parts_number.reset();
  bytes refused = adapter_data(DATA_PARTS_NUMBER);
  const bytes sent = refused;
  EXPECT_EQ(ask(a, refused).error, win::error_invalid_parameter);
  EXPECT_EQ(refused, sent);
}

TEST(SimulatedDriver, SlotsAreListedDumpedAndReleased) {
  adapter_state a = make_adapter();
  ASSERT_TRUE(fill_slot(a, 0, bytes{0x01, 0x02}));
  ASSERT_TRUE(fill_slot(a, 3, bytes(1024, 0x33)));
  ASSERT_TRUE(fill_slot(a, 15, bytes{0xFF}));
  EXPECT_FALSE(fill_slot(a, 16, bytes{1}));
  EXPECT_FALSE(fill_slot(a, -1, bytes{1}));
  EXPECT_FALSE(fill_slot(a, 1, bytes(1025, 0)));

  bytes log = command(ERRLOG);
  EXPECT_EQ(ask(a, log).error, 0u);
  const auto detail = packet_payload(log);
  EXPECT_EQ(detail[0], 0x90);
  EXPECT_EQ(detail[1], 0x01);
  for (std::size_t i = 2; i < 16; ++i) EXPECT_EQ(detail[i], 0) << i;
  EXPECT_EQ(detail_slot_data(detail, 0)[1], 0x02);
  EXPECT_EQ(detail_slot_data(detail, 0)[2], 0x00);
  EXPECT_EQ(detail_slot_data(detail, 3)[1023], 0x33);
  EXPECT_EQ(detail_slot_data(detail, 15)[0], 0xFF);
  EXPECT_EQ(detail_slot_data(detail, 4)[0], 0x00);

  bytes release = command(SLOT_RELEASE, 3);
  EXPECT_EQ(ask(a, release).error, 0u);
  EXPECT_EQ(a.occupied, 0x8001);
  bytes again = command(ERRLOG);
  EXPECT_EQ(ask(a, again).error, 0u);
  EXPECT_FALSE(slot_occupied(packet_payload(again), 3));
  EXPECT_EQ(detail_slot_data(packet_payload(again), 3)[0], 0) << "a released slot's data is gone";

  bytes no_slot = command(SLOT_RELEASE, 16);
  EXPECT_EQ(ask(a, no_slot).error, win::error_invalid_parameter);
  bytes free_slot = command(SLOT_RELEASE, 7);
  EXPECT_EQ(ask(a, free_slot).error, 0u) << "releasing a free slot is harmless";
  // Only the slot that held data is remembered as given back, with its data.
  ASSERT_EQ(a.released.size(), 1u);
  EXPECT_EQ(a.released[0].slot, 3);
  EXPECT_EQ(a.released[0].head[15], 0x33);
  EXPECT_EQ(released_lines(a), "slot 3: 33333333333333333333333333333333\n");
}

TEST(SimulatedDriver, BusyAnswersComeFirstAndAreCounted) {
  adapter_state a = make_adapter();
  a.busy_left = 2;
  bytes p = command(PCI_LOCATION);
  EXPECT_EQ(ask(a, p).error, win::error_busy);
  bytes junk(10, 0);
  EXPECT_EQ(ask(a, junk).error, win::error_busy) << "any exchange takes a busy answer";
  EXPECT_EQ(ask(a, p).error, 0u);
  EXPECT_EQ(a.exchanges, 3u);
  EXPECT_EQ(a.busy_left, 0u);
}

TEST(SimulatedDriver, MalformedPacketsFailAndStayUntouched) {
  adapter_state a = make_adapter();
  auto expect_refused = [&a](bytes p, std::uint32_t code = platform::ioctl_scsi_miniport) {
    const bytes sent = p;
    EXPECT_EQ(answer_packet(a, code, p).error, win::error_invalid_parameter);
    EXPECT_EQ(p, sent);
  };
  expect_refused(command(PCI_LOCATION), 0x0004D004);
  bytes p = command(PCI_LOCATION);
  p[4] = 'X';
  expect_refused(p);
  p = command(PCI_LOCATION);
  put_u32_le(p, 24, 161);
  expect_refused(p);
  p = command(PCI_LOCATION);
  put_u32_le(p, 0, 24);
  expect_refused(p);
  p = command(PCI_LOCATION);
  p[28] = 0x30;  // no such sub-command
  expect_refused(p);
  p = command(PCI_LOCATION);
  p[28] = ERRLOG;  // ERRLOG in a 188-byte packet
  expect_refused(p);
  p = command(PCI_LOCATION);
  put_u32_le(p, 16, 0x12345678);
  expect_refused(p);
  p = adapter_data(DATA_VERSIONS);
  put_u32_le(p, 28 + 116, 735);
  expect_refused(p);
  p = adapter_data(DATA_VERSIONS);
  p[28] = DATA_PORT_NAMES;  // a type 2 request in a type 1 packet
  expect_refused(p);
  expect_refused(bytes(27, 0));
  p = command(PCI_LOCATION);
  p.resize(28);
  put_u32_le(p, 24, 0);
  expect_refused(p);
}

TEST(SimulatedDriver, ConfiguredRefusalsUseTheirError) {
  adapter_state a = make_adapter();
  a.config.refused = {{request_kind::hbainfo, 1117}, {request_kind::errlog, 31}, {request_kind::hbainfo, 5}};
  bytes info = command(HBAINFO);
  EXPECT_EQ(ask(a, info).error, 5u) << "the later entry wins";
  bytes log = command(ERRLOG);
  EXPECT_EQ(ask(a, log).error, 31u);
  bytes pci = command(PCI_LOCATION);
  EXPECT_EQ(ask(a, pci).error, 0u);
}

TEST(SimulatedDriver, DefaultDetailDataIsRecognisable) {
  const auto d = default_detail_data(5, 3);
  EXPECT_EQ(d[0], 8);
  EXPECT_EQ(d[1], 9);
  EXPECT_EQ(d[1023], static_cast<std::uint8_t>(8 + 1023));
}

}  // namespace
}  // namespace kvx::simulator
