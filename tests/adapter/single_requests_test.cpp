// kvxls's single-attempt requests: what they send, what they copy out, and
// the reports they write to the standard error stream.
#include "adapter/single_requests.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "adapter/byte_order.h"
#include "adapter/control_packet.h"
#include "platform/host.h"
#include "platform/win_codes.h"
#include "tests/fakes/adapter_scripted_ports.h"

namespace kvx::adapter {
namespace {

constexpr const char* path = "\\\\.\\scsi2";

class ToolRequests : public ::testing::Test {
 protected:
  test::scripted_ports ports;
  platform::scoped_ports installed{ports};

  std::string stderr_of(const std::function<void()>& run) {
    ::testing::internal::CaptureStderr();
    run();
    return ::testing::internal::GetCapturedStderr();
  }
};

TEST_F(ToolRequests, PortPresentOpensSharedAndReportsNothing) {
  EXPECT_EQ(tool_port_present(path), 0);
  EXPECT_EQ(ports.opens(), 1);
  EXPECT_EQ(ports.closes(), 1);
  EXPECT_EQ(ports.exchanges(), 0);
  ports.set_open_error(win::error_file_not_found);
  EXPECT_EQ(stderr_of([] { EXPECT_NE(tool_port_present(path), 0); }), "");
  for (platform::share_mode m : ports.modes()) EXPECT_EQ(m, platform::share_mode::shared);
}

TEST_F(ToolRequests, OpenFailureIsReportedWithThePathAndColon) {
  ports.set_open_error(win::error_sharing_violation);
  std::uint32_t location = 0;
  const std::string err = stderr_of([&] { EXPECT_EQ(tool_pci_location(path, location), -1); });
  EXPECT_EQ(err,
            "CreateFile(\\\\.\\scsi2:) error.\n"
            ": The process cannot access the file because it is being used by another process.\n");
}

TEST_F(ToolRequests, PciLocationSendsOneCommandAndCopiesTheWord) {
  ports.set_reply([](std::span<std::uint8_t> p) { put_u32_le(p, 28 + 8, 0x00000301); });
  std::uint32_t location = 0;
  ASSERT_EQ(tool_pci_location(path, location), 0);
  EXPECT_EQ(location, 0x301u);
  const auto sent = ports.sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].path, "\\\\.\\scsi2:");
  EXPECT_EQ(sent[0].code, 0x0004D008u);
  EXPECT_EQ(sent[0].bytes.size(), 188u);
  EXPECT_EQ(sent[0].bytes[28], PCI_LOCATION);
  EXPECT_EQ(ports.closes(), 1);
}

TEST_F(ToolRequests, ExchangeFailuresReportPerRequest) {
  ports.set_failure_returned(0);
  std::uint32_t location = 0;
  std::array<std::uint8_t, 2296> data{};
  std::array<std::uint8_t, 128> info{};
  std::uint16_t vendor = 0;
  std::uint16_t device = 0;
  std::uint8_t lsi = 0;
  std::uint8_t ec = 0;

  ports.queue_errors({win::error_gen_failure});
  EXPECT_EQ(stderr_of([&] { EXPECT_EQ(tool_pci_location(path, location), -1); }), "");

  ports.queue_errors({win::error_invalid_parameter});
  EXPECT_EQ(stderr_of([&] { EXPECT_EQ(tool_adapter_data(path, DATA_VERSIONS, data), -1); }),
            "DeviceIoControl(1) error. RtnLen=0\n: The parameter is incorrect.\n");

  ports.set_failure_returned(12);
  ports.queue_errors({win::error_busy});
  EXPECT_EQ(stderr_of([&] { EXPECT_EQ(tool_adapter_data(path, DATA_PORT_NAMES, data), -1); }),
            "DeviceIoControl(2) error. RtnLen=12\n: The requested resource is in use.\n");

  ports.queue_errors({win::error_invalid_parameter});
  EXPECT_EQ(stderr_of([&] { EXPECT_EQ(tool_adapter_data(path, DATA_PARTS_NUMBER, data), -1); }), "");

  ports.queue_errors({win::error_gen_failure});
  EXPECT_EQ(stderr_of([&] { EXPECT_EQ(tool_hbainfo(path, info), -1); }),
            "DeviceIoControl(HBAINFO) error. RtnLen=12\n: A device attached to the system is not functioning.\n");

  ports.queue_errors({4242});
  EXPECT_EQ(stderr_of([&] { EXPECT_EQ(tool_pkgtype(path, vendor, device, lsi, ec), -1); }),
            "DeviceIoControl(PkgType) error. RtnLen=12\n: Error 317.\n");

  EXPECT_EQ(ports.exchanges(), 6) << "kvxls never retries";
  EXPECT_EQ(ports.closes(), ports.opens());
}

TEST_F(ToolRequests, AdapterDataCopiesTheWholeDataArea) {
  ports.set_reply([](std::span<std::uint8_t> p) {
    for (std::size_t i = 28 + 128; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(i);
  });
  std::array<std::uint8_t, 736> versions{};
  ASSERT_EQ(tool_adapter_data(path, DATA_VERSIONS, versions), 0);
  EXPECT_EQ(versions[0], static_cast<std::uint8_t>(156));
  EXPECT_EQ(versions[735], static_cast<std::uint8_t>(156 + 735));

  std::array<std::uint8_t, 12> parts{};
  ASSERT_EQ(tool_adapter_data(path, DATA_PARTS_NUMBER, std::span<std::uint8_t>(parts).first(11)), 0);
  EXPECT_EQ(parts[10], static_cast<std::uint8_t>(156 + 10));
  EXPECT_EQ(parts[11], 0) << "nothing past the 11 bytes";

  std::array<std::uint8_t, 100> too_small{};
  const int before = ports.exchanges();
  EXPECT_EQ(tool_adapter_data(path, DATA_VERSIONS, too_small), -1);
  EXPECT_EQ(tool_adapter_data(path, 4, versions), -1);
  EXPECT_EQ(ports.exchanges(), before) << "nothing is sent for a buffer that cannot take the reply";
}

TEST_F(ToolRequests, HbainfoAndPkgtypeReadTheirBytes) {
  ports.set_reply([](std::span<std::uint8_t> p) {
    if (p[28] == HBAINFO) {
      p[28] = 3;
      p[29] = 0x10;
      p[28 + 127] = 0x7F;
      p[28 + 128] = 0x80;
    } else {
      p[28 + 9] = 7;
      p[28 + 10] = 0xA5;
      p[28 + 11] = 'C';
    }
  });
  std::array<std::uint8_t, 129> info{};
  ASSERT_EQ(tool_hbainfo(path, info), 0);
  EXPECT_EQ(info[0], 3);
  EXPECT_EQ(info[1], 0x10);
  EXPECT_EQ(info[127], 0x7F);
  EXPECT_EQ(info[128], 0) << "only bytes 0..127 are copied";

  std::uint16_t vendor = 0;
  std::uint16_t device = 0;
  std::uint8_t lsi = 0;
  std::uint8_t ec = 0;
  ASSERT_EQ(tool_pkgtype(path, vendor, device, lsi, ec), 0);
  EXPECT_EQ(vendor, 0x1F7B);
  EXPECT_EQ(device, 0xFFFF) << "package type 7 is not in the table";
  EXPECT_EQ(lsi, 0xA5);
  EXPECT_EQ(ec, 'C');
}

TEST(PrintSystemError, KnownAndUnknownCodes) {
  char buffer[512] = {};
  std::FILE* stream = fmemopen(buffer, sizeof buffer - 1, "w");
  ASSERT_NE(stream, nullptr);
  print_system_error("CreateFile(\\\\.\\scsi9:) error.\n", win::error_file_not_found, stream);
  print_system_error("DeviceIoControl(1) error. RtnLen=0\n", 99999, stream);
  std::fclose(stream);
  EXPECT_STREQ(buffer,
               "CreateFile(\\\\.\\scsi9:) error.\n: The system cannot find the file specified.\n"
               "DeviceIoControl(1) error. RtnLen=0\n: Error 317.\n");
}

}  // namespace
}  // namespace kvx::adapter
