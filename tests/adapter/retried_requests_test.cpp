// hbalogd's retrying requests: the attempt limit, the pause after each busy
// answer, last_error, dropping an adapter whose device will not open, and the
// allocation report.
#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <thread>

#include "adapter/byte_order.h"
#include "adapter/control_packet.h"
#include "adapter/port_access.h"
#include "logd/capture/capture_life.h"
#include "logd/capture/service_requests.h"
#include "logd/output/report_event.h"
#include "logd/state_store.h"
#include "platform/host.h"
#include "platform/win_codes.h"
#include "tests/fakes/adapter_scripted_ports.h"
#include "tests/fakes/adapter_simulator.h"
#include "tests/fakes/application_log.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/interface_entries.h"
#include "tests/support/store_session.h"

namespace kvx::adapter {
namespace {

// The service's requests, as hbalogd makes them.
using logd::release_detail_slot;
using logd::request_adapter_data;
using logd::request_detail_data;
using logd::request_pci_location;

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

/// The store with a table of the given ports ("\\\\.\\scsiN"), torn down afterwards.
class StoreFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    logd::set_max_retry_count(300);
    logd::set_retry_frequency(0);
  }

  /// Appends an entry for `port` to interface_table.
  static logd::interface_entry* add_entry(int port) { return test::link_entry_at_tail(test::port_device(port)); }

  static bool linked(const logd::interface_entry* wanted) {
    for (logd::interface_entry* e = logd::get_interface_table(); e != nullptr; e = logd::get_next(e)) {
      if (e == wanted) return true;
    }
    return false;
  }

  test::store_session store;
};

class LoggerRequests : public StoreFixture {
 protected:
  test::scripted_ports ports;
  platform::scoped_ports installed{ports};
  test::application_log reports;
  platform::scoped_event_logs reports_installed{reports};
};

TEST_F(LoggerRequests, BusyTwiceThenSuccessIsThreeExchangesAndTwoPauses) {
  logd::interface_entry* entry = add_entry(2);
  logd::set_retry_frequency(1);
  logd::set_last_error(entry, 55);
  ports.queue_errors({win::error_busy, win::error_busy});
  ports.set_reply([](std::span<std::uint8_t> p) {
    p[28] = 0x90;  // slots 0 and 3
    p[28 + 16 + 1024 * 3] = 0xAB;
  });
  const auto start = clock_type::now();
  std::unique_ptr<detail_reply> reply = request_detail_data(entry);
  EXPECT_GE(seconds_since(start), 2.0);
  ASSERT_NE(reply, nullptr);
  ASSERT_EQ(reply->size(), detail_reply_size);
  EXPECT_TRUE(slot_occupied(*reply, 0));
  EXPECT_TRUE(slot_occupied(*reply, 3));
  EXPECT_EQ(detail_slot_data(*reply, 3)[0], 0xAB);
  EXPECT_EQ(ports.exchanges(), 3);
  EXPECT_EQ(logd::get_last_error(entry), 0) << "the code read after the third exchange";
  // No handle is held through a pause: each attempt opens the device anew.
  EXPECT_EQ(ports.opens(), 3);
  EXPECT_EQ(ports.closes(), 3);
  EXPECT_EQ(ports.modes().at(0), platform::share_mode::exclusive);
  const auto sent = ports.sent();
  EXPECT_EQ(sent[0].bytes, sent[2].bytes) << "the same packet is sent again";
  EXPECT_EQ(sent[0].bytes.size(), 16428u);
}

TEST_F(LoggerRequests, OneAttemptAgainstABusyDriverPausesOnceThenFails) {
  logd::interface_entry* entry = add_entry(2);
  logd::set_max_retry_count(1);
  logd::set_retry_frequency(1);
  ports.queue_errors({win::error_busy, win::error_busy});
  const auto start = clock_type::now();
  EXPECT_EQ(release_detail_slot(entry, 4), 1);
  EXPECT_GE(seconds_since(start), 1.0);
  EXPECT_EQ(ports.exchanges(), 1);
  EXPECT_EQ(logd::get_last_error(entry), static_cast<std::int32_t>(win::error_busy));
  EXPECT_EQ(get_u32_le(ports.sent().at(0).bytes, 28 + 8), 4u);
  EXPECT_TRUE(linked(entry));
}

TEST_F(LoggerRequests, NoAttemptLimitMeansNoExchangeAndLastErrorKept) {
  logd::interface_entry* entry = add_entry(2);
  std::uint8_t data[2296] = {};
  std::uint32_t location = 0;
  for (std::int32_t limit : {0, -5}) {
    logd::set_max_retry_count(limit);
    logd::set_last_error(entry, 1234);
    EXPECT_EQ(request_detail_data(entry), nullptr);
    EXPECT_EQ(release_detail_slot(entry, 0), 1);
    EXPECT_EQ(request_adapter_data("\\\\.\\scsi2", DATA_VERSIONS, data), -1);
    EXPECT_EQ(request_pci_location("\\\\.\\scsi2", location), -1);
    EXPECT_EQ(logd::get_last_error(entry), 1234);
  }
  EXPECT_EQ(ports.exchanges(), 0);
  EXPECT_EQ(ports.closes(), ports.opens());
}

TEST_F(LoggerRequests, AnErrorOtherThanBusyEndsTheRequest) {
  logd::interface_entry* entry = add_entry(2);
  ports.queue_errors({win::error_gen_failure});
  EXPECT_EQ(request_detail_data(entry), nullptr);
  EXPECT_EQ(logd::get_last_error(entry), static_cast<std::int32_t>(win::error_gen_failure));
  ports.queue_errors({win::error_invalid_parameter});
  std::uint32_t location = 99;
  EXPECT_EQ(request_pci_location("\\\\.\\scsi2", location), -1);
  EXPECT_EQ(location, 99u);
  EXPECT_EQ(ports.exchanges(), 2);
  EXPECT_TRUE(linked(entry)) << "an exchange failure keeps the adapter";
}

TEST_F(LoggerRequests, DeviceThatWillNotOpenDropsTheAdapterOnlyForEntryRequests) {
  logd::interface_entry* first = add_entry(1);
  logd::interface_entry* second = add_entry(2);
  logd::interface_entry* third = add_entry(3);
  ports.set_open_error(win::error_file_not_found);

  std::uint8_t data[736] = {};
  EXPECT_EQ(request_adapter_data("\\\\.\\scsi2", DATA_VERSIONS, data), -1);
  std::uint32_t location = 0;
  EXPECT_EQ(request_pci_location("\\\\.\\scsi2", location), -1);
  EXPECT_TRUE(linked(second));

  EXPECT_EQ(request_detail_data(second), nullptr);
  EXPECT_FALSE(linked(second));
  EXPECT_TRUE(logd::get_removed(second));
  EXPECT_EQ(release_detail_slot(first, 0), 1);
  EXPECT_FALSE(linked(first));
  EXPECT_TRUE(linked(third));
  EXPECT_EQ(logd::get_interface_table(), third);
  EXPECT_EQ(ports.exchanges(), 0);
}

TEST_F(LoggerRequests, PacketThatCannotBeHadIsReportedAndClosesTheDevice) {
  logd::interface_entry* entry = add_entry(2);
  const packet_allocator no_memory = [](packet_bytes&, std::size_t) { return false; };
  request_context context = logd::request_context_for(entry);
  context.allocate = no_memory;
  EXPECT_EQ(request_detail_data(context), nullptr);
  EXPECT_EQ(release_detail_slot(context, 1), 1);
  EXPECT_EQ(reports.count("Unable to allocate memory for interface table."), 2);
  for (const test::reported_event& e : reports.reports()) EXPECT_EQ(e.type, logd::report_error);
  EXPECT_EQ(ports.exchanges(), 0);
  EXPECT_EQ(ports.opens(), 0) << "no device is opened for a packet that cannot be had";
  EXPECT_TRUE(linked(entry));
}

// Another program's handle (kvxls, say) refuses the exclusive open: at the
// open, or under some hosts at the first request on the handle. Either is
// waited out like a busy driver, and the adapter stays.
TEST_F(LoggerRequests, ShareClashesAreRetriedLikeBusyAnswersAndKeepTheAdapter) {
  logd::interface_entry* entry = add_entry(2);
  ports.queue_open_errors({win::error_sharing_violation, win::error_sharing_violation});
  ports.queue_errors({win::error_sharing_violation});
  ASSERT_NE(request_detail_data(entry), nullptr);
  EXPECT_EQ(ports.opens(), 4);
  EXPECT_EQ(ports.exchanges(), 2);
  EXPECT_TRUE(linked(entry));
  EXPECT_EQ(logd::get_last_error(entry), 0);

  // Clashing past the attempt limit fails the request, still keeping the adapter.
  logd::set_max_retry_count(2);
  ports.queue_open_errors({win::error_sharing_violation, win::error_sharing_violation});
  EXPECT_EQ(release_detail_slot(entry, 1), 1);
  EXPECT_TRUE(linked(entry));
  EXPECT_EQ(logd::get_last_error(entry), static_cast<std::int32_t>(win::error_sharing_violation));
  // Any other open failure is a device gone.
  ports.queue_open_errors({win::error_file_not_found});
  EXPECT_EQ(release_detail_slot(entry, 1), 1);
  EXPECT_FALSE(linked(entry));
  EXPECT_EQ(ports.closes(), 2) << "every handle opened was closed";
}

TEST_F(LoggerRequests, StopRequestEndsTheRetriesAtOnce) {
  logd::interface_entry* entry = add_entry(2);
  // A frequency whose milliseconds do not fit 32 bits pauses as long as it can.
  logd::set_retry_frequency(std::numeric_limits<std::int32_t>::max());
  ports.queue_errors(std::vector<std::uint32_t>(10, win::error_busy));
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    logd::request_capture_stop();
  });
  EXPECT_EQ(request_detail_data(entry), nullptr);
  stopper.join();
  EXPECT_EQ(ports.exchanges(), 1);
  EXPECT_EQ(logd::get_last_error(entry), static_cast<std::int32_t>(win::error_busy));
}

TEST_F(LoggerRequests, AdapterDataAndPciLocationCopyTheirReplies) {
  ports.set_reply([](std::span<std::uint8_t> p) {
    if (get_u32_le(p, 16) == CC_COMMAND) {
      put_u32_le(p, 28 + 8, 0x0000020A);
    } else {
      for (std::size_t i = 28 + 128; i < p.size(); ++i) p[i] = 0x5A;
    }
  });
  std::uint32_t location = 0;
  ASSERT_EQ(request_pci_location("\\\\.\\scsi7", location), 0);
  EXPECT_EQ(location, 0x20Au);
  std::uint8_t names[2296 + 1] = {};
  ASSERT_EQ(request_adapter_data("\\\\.\\scsi7", DATA_PORT_NAMES, names), 0);
  EXPECT_EQ(names[0], 0x5A);
  EXPECT_EQ(names[2295], 0x5A);
  EXPECT_EQ(names[2296], 0) << "not one byte past the data area";
  EXPECT_EQ(request_adapter_data("\\\\.\\scsi7", 9, names), -1);
  const auto sent = ports.sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].path, "\\\\.\\scsi7:");
  EXPECT_EQ(sent[1].bytes[28 + 128], 1) << "type 2 sends its first data byte as 1";
  for (platform::share_mode m : ports.modes()) EXPECT_EQ(m, platform::share_mode::shared);
}

/// The same requests against the driver simulator's port devices.
class LoggerRequestsOnSimulator : public StoreFixture {
 protected:
  test::temp_host host;
};

TEST_F(LoggerRequestsOnSimulator, ExclusiveRequestWhileAnotherHandleIsOpenIsWaitedOutAndKeepsTheAdapter) {
  test::running_simulator sim("[adapter]\nport = 2\n");
  logd::interface_entry* entry = add_entry(2);
  std::uint32_t error = 0;
  port_handle held = open_port_device("\\\\.\\scsi2:", platform::share_mode::shared, error);
  ASSERT_NE(held, nullptr);
  logd::set_max_retry_count(3);
  EXPECT_EQ(request_detail_data(entry), nullptr);
  EXPECT_TRUE(linked(entry)) << "another program's handle is not a device gone";
  EXPECT_EQ(logd::get_last_error(entry), static_cast<std::int32_t>(win::error_sharing_violation));
  held.reset();
  EXPECT_NE(request_detail_data(entry), nullptr);
}

TEST_F(LoggerRequestsOnSimulator, DetailDataAndReleaseRoundTrip) {
  test::running_simulator sim("[adapter]\nport = 2\n");
  logd::interface_entry* entry = add_entry(2);
  ASSERT_EQ(sim.control({"fill", "--port", "2", "--slot", "3", "--data", "c0ffee"}).status, 0);
  ASSERT_EQ(sim.control({"busy", "--port", "2", "--count", "2"}).status, 0);
  std::unique_ptr<detail_reply> reply = request_detail_data(entry);
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ((*reply)[0], 0x10);
  EXPECT_EQ((*reply)[1], 0x00);
  EXPECT_EQ(detail_slot_data(*reply, 3)[2], 0xEE);
  EXPECT_EQ(release_detail_slot(entry, 3), 0);
  reply = request_detail_data(entry);
  ASSERT_NE(reply, nullptr);
  EXPECT_FALSE(slot_occupied(*reply, 3));
  EXPECT_EQ(release_detail_slot(entry, 16), 1) << "no such slot";
  EXPECT_NE(sim.control({"status"}).out.find("exchanges: 5,"), std::string::npos);
}

}  // namespace
}  // namespace kvx::adapter
