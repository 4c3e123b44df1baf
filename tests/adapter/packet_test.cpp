// Control packets byte for byte, and the reply readers on short and odd replies.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "adapter/byte_order.h"
#include "adapter/control_packet.h"

namespace kvx::adapter {
namespace {

using bytes = std::vector<std::uint8_t>;

std::uint64_t address_of(const std::uint8_t* p) { return reinterpret_cast<std::uintptr_t>(p); }

/// The header every packet starts with, checked field by field.
void expect_header(const bytes& p, std::uint32_t code, std::uint32_t length) {
  ASSERT_GE(p.size(), header_length);
  EXPECT_EQ(get_u32_le(p, 0), 28u);
  EXPECT_EQ(0, std::memcmp(p.data() + 4, "KVXDRV\0\0", 8));
  EXPECT_EQ(get_u32_le(p, 12), 10000u);
  EXPECT_EQ(get_u32_le(p, 16), code);
  EXPECT_EQ(get_u32_le(p, 20), 0u);
  EXPECT_EQ(get_u32_le(p, 24), length);
  EXPECT_EQ(p.size(), 28u + length);
}

/// Every byte outside the listed [offset, offset + width) ranges is zero.
void expect_zero_except(const bytes& p, std::vector<std::pair<std::size_t, std::size_t>> set) {
  for (std::size_t i = 0; i < p.size(); ++i) {
    bool listed = false;
    for (auto [offset, width] : set) listed = listed || (i >= offset && i < offset + width);
    if (!listed) {
      EXPECT_EQ(p[i], 0) << "byte " << i;
    }
  }
}

bytes build_command(std::uint8_t sub, std::uint32_t slot = 0) {
  bytes p(command_packet_size(sub), 0xEE);  // not zeroed: the builder must zero it
  EXPECT_EQ(build_command_packet(p, sub, slot), 0);
  return p;
}

TEST(ControlPacket, ErrlogIs16428BytesWith16400InBothLengthFields) {
  bytes p = build_command(ERRLOG);
  ASSERT_EQ(p.size(), 16428u);
  expect_header(p, 0x9090E7FC, 16400);
  EXPECT_EQ(p[28], 0x2C);
  EXPECT_EQ(get_u32_le(p, 28 + 144), 16400u);
  EXPECT_EQ(get_u64_le(p, 28 + 152), address_of(p.data()));
  expect_zero_except(p, {{0, 28}, {28, 1}, {28 + 144, 4}, {28 + 152, 8}});
}

TEST(ControlPacket, SlotReleaseCarriesTheSlotAndItsOwnAddress) {
  bytes p = build_command(SLOT_RELEASE, 15);
  ASSERT_EQ(p.size(), 188u);
  expect_header(p, 0x9090E7FC, 160);
  EXPECT_EQ(p[28], 0x2D);
  EXPECT_EQ(get_u32_le(p, 28 + 8), 15u);
  EXPECT_EQ(get_u32_le(p, 28 + 144), 160u);
  EXPECT_EQ(get_u64_le(p, 28 + 152), address_of(p.data()));
  expect_zero_except(p, {{0, 28}, {28, 1}, {28 + 8, 4}, {28 + 144, 4}, {28 + 152, 8}});
}

TEST(ControlPacket, SmallCommandsSetOnlyWhatTheyCarry) {
  bytes hbainfo = build_command(HBAINFO);
  expect_header(hbainfo, 0x9090E7FC, 160);
  EXPECT_EQ(hbainfo[28], 0x2E);
  EXPECT_EQ(get_u32_le(hbainfo, 28 + 144), 160u);
  expect_zero_except(hbainfo, {{0, 28}, {28, 1}, {28 + 144, 4}});

  for (std::uint8_t sub : {PCI_LOCATION, PkgType}) {
    bytes p = build_command(sub);
    expect_header(p, 0x9090E7FC, 160);
    EXPECT_EQ(p[28], sub);
    expect_zero_except(p, {{0, 28}, {28, 1}});
  }
}

TEST(ControlPacket, AdapterDataSizesAndFieldsPerType) {
  struct expected {
    int type;
    std::size_t size;
    std::uint32_t length;
    std::uint32_t data_length;
  };
  for (expected e : {expected{3, 167, 139, 11}, expected{1, 892, 864, 736}, expected{2, 2452, 2424, 2296}}) {
    SCOPED_TRACE(e.type);
    bytes p(adapter_data_packet_size(e.type), 0xEE);
    ASSERT_EQ(p.size(), e.size);
    ASSERT_EQ(build_adapter_data_packet(p, e.type), 0);
    expect_header(p, 0x9090E500, e.length);
    EXPECT_EQ(p[28], e.type);
    EXPECT_EQ(p[29], 0);
    EXPECT_EQ(p[30], 0x10);
    EXPECT_EQ(get_u32_le(p, 28 + 116), e.data_length);
    EXPECT_EQ(get_u64_le(p, 28 + 120), address_of(p.data() + 28 + 128));
    const std::uint8_t first_data = e.type == 2 ? 1 : 0;
    EXPECT_EQ(p[28 + 128], first_data);
    expect_zero_except(p, {{0, 28}, {28, 1}, {30, 1}, {28 + 116, 4}, {28 + 120, 8}, {28 + 128, first_data}});
  }
}

TEST(ControlPacket, BuildersRefuseUnknownCodesAndWrongSizes) {
  bytes p(188, 0xEE);
  EXPECT_EQ(build_command_packet(p, 0x30), 1);
  EXPECT_EQ(build_command_packet(p, ERRLOG), 1);  // ERRLOG needs 16428 bytes
  EXPECT_EQ(p[0], 0xEE) << "a refused build writes nothing";
  EXPECT_EQ(build_adapter_data_packet(p, 4), 1);
  EXPECT_EQ(build_adapter_data_packet(p, 0), 1);
  EXPECT_EQ(adapter_data_packet_size(4), 0u);
  EXPECT_EQ(command_packet_size(0x2A), 0u);
}

TEST(ReplyReaders, PciLocationAndItsFields) {
  bytes p = build_command(PCI_LOCATION);
  put_u32_le(p, 28 + 8, 0xFFFF020A);
  std::uint32_t location = 0;
  ASSERT_EQ(read_pci_location(p, location), 0);
  EXPECT_EQ(location, 0xFFFF020Au);
  EXPECT_EQ(pci_bus(location), 2);
  EXPECT_EQ(pci_device(location), 1);
  EXPECT_EQ(pci_function(location), 2);
  EXPECT_EQ(pci_bus(0), 0);
  EXPECT_EQ(pci_device(0), 0);
  EXPECT_EQ(pci_function(0), 0);

  bytes short_reply(28 + 11, 0);
  location = 7;
  EXPECT_EQ(read_pci_location(short_reply, location), -1);
  EXPECT_EQ(location, 7u);
  EXPECT_EQ(read_pci_location({}, location), -1);
}

TEST(ReplyReaders, TextFieldsStopAtZeroOrAtTheFieldEnd) {
  bytes versions(736, 0);
  std::memcpy(versions.data() + 328, "2.1.4", 5);
  std::memcpy(versions.data() + 584, "10.02", 5);
  EXPECT_EQ(driver_version_text(versions), "2.1.4");
  EXPECT_EQ(firmware_version_text(versions), "10.02");

  // A driver version with no zero byte ends where the firmware field begins.
  std::memset(versions.data() + 328, 'a', 256);
  EXPECT_EQ(driver_version_text(versions), std::string(256, 'a'));
  std::memset(versions.data() + 584, 'b', 152);
  EXPECT_EQ(firmware_version_text(versions), std::string(152, 'b'));

  // Short data areas read as far as they go, never past their end.
  EXPECT_EQ(firmware_version_text(bytes(600, 'c')), std::string(16, 'c'));
  EXPECT_EQ(driver_version_text(bytes(100, 'c')), "");
  EXPECT_EQ(read_text_field(bytes{'x', 'y'}, 5, 1), "");
}

TEST(ReplyReaders, WorldWideNamesUpperHalfFirst) {
  bytes names(2296, 0);
  put_u64_le(names, 8, 0x200000000000a000ull);
  put_u64_le(names, 16, 0x200000000000a001ull);
  EXPECT_EQ(format_world_wide_name(world_wide_node_name(names)), "20000000 0000a000");
  EXPECT_EQ(format_world_wide_name(world_wide_port_name(names)), "20000000 0000a001");
  EXPECT_EQ(format_world_wide_name(0xFFFFFFFFFFFFFFFFull), "ffffffff ffffffff");
  EXPECT_EQ(world_wide_port_name(bytes(23, 0xFF)), 0u) << "a port name cut short reads as zero";
}

TEST(ReplyReaders, SlotBitmapOrderAndSlotData) {
  bytes detail(16400, 0);
  detail[0] = 0x80;  // slot 0
  detail[1] = 0x01;  // slot 15
  EXPECT_TRUE(slot_occupied(detail, 0));
  EXPECT_TRUE(slot_occupied(detail, 15));
  for (int k = 1; k < 15; ++k) EXPECT_FALSE(slot_occupied(detail, k)) << k;
  EXPECT_FALSE(slot_occupied(detail, -1));
  EXPECT_FALSE(slot_occupied(detail, 16));
  EXPECT_FALSE(slot_occupied(bytes(1, 0xFF), 0)) << "a reply without the whole bitmap";

  set_slot_occupied(detail, 7, true);
  EXPECT_EQ(detail[0], 0x81);
  set_slot_occupied(detail, 0, false);
  set_slot_occupied(detail, 15, false);
  EXPECT_EQ(detail[0], 0x01);
  EXPECT_EQ(detail[1], 0x00);

  detail[16 + 1024 * 3] = 0x33;
  detail[16 + 1024 * 15 + 1023] = 0x5F;
  EXPECT_EQ(detail_slot_data(detail, 3).size(), 1024u);
  EXPECT_EQ(detail_slot_data(detail, 3)[0], 0x33);
  EXPECT_EQ(detail_slot_data(detail, 15)[1023], 0x5F);
  EXPECT_EQ(detail_slot_data(bytes(16 + 1024 + 10, 0), 1).size(), 10u);
  EXPECT_TRUE(detail_slot_data(bytes(100, 0), 1).empty());
  EXPECT_TRUE(detail_slot_data(detail, 16).empty());
}

TEST(ReplyReaders, PackageTypeToDeviceId) {
  EXPECT_EQ(package_device_id(0), 0x6A20);
  EXPECT_EQ(package_device_id(4), 0x6A24);
  EXPECT_EQ(package_device_id(5), 0xFFFF);
  EXPECT_EQ(package_device_id(0xFF), 0xFFFF);
}

TEST(ReplyReaders, AdapterDataAreaIsBoundedByTypeAndPacket) {
  bytes p(adapter_data_packet_size(DATA_PARTS_NUMBER), 0);
  ASSERT_EQ(build_adapter_data_packet(p, DATA_PARTS_NUMBER), 0);
  EXPECT_EQ(adapter_data_area(p, DATA_PARTS_NUMBER).size(), 11u);
  EXPECT_EQ(adapter_data_area(bytes(28 + 128 + 5, 0), DATA_VERSIONS).size(), 5u);
  EXPECT_TRUE(adapter_data_area(bytes(28 + 100, 0), DATA_VERSIONS).empty());
  EXPECT_TRUE(packet_payload(bytes(28, 0)).empty());
}

TEST(ByteOrder, ExplicitOrdersAndBounds) {
  bytes b(8, 0);
  EXPECT_TRUE(put_u32_le(b, 1, 0x11223344));
  EXPECT_EQ(b[1], 0x44);
  EXPECT_EQ(b[4], 0x11);
  EXPECT_TRUE(put_u32_be(b, 4, 0x0503020A));
  EXPECT_EQ(b[4], 0x05);
  EXPECT_EQ(b[7], 0x0A);
  EXPECT_EQ(get_u32_be(b, 4), 0x0503020Au);
  EXPECT_FALSE(put_u32_le(b, 5, 1));
  EXPECT_FALSE(put_u32_be(b, 5, 1));
  EXPECT_FALSE(put_u64_le(b, 1, 1));
  EXPECT_EQ(get_u32_le(b, 6), 0u);
  EXPECT_EQ(get_u32_be(b, SIZE_MAX), 0u);
  EXPECT_EQ(get_le(b, SIZE_MAX - 1, 4), 0u);
}

}  // namespace
}  // namespace kvx::adapter
