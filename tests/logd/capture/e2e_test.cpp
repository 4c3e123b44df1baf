// The watch against the simulated System log: records appended by this
// process or by another one (simhost) reach the writers. The change
// notification pulses, as on Windows: a record written while the worker is
// not waiting (still starting, or in a pass) is caught by the notify thread,
// here on a short cycle.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "platform/sim/event_log_file.h"
#include "tests/logd/capture/worker_harness.h"
#include "tests/support/process.h"

namespace kvx::logd {
namespace {

using test::eventually;

std::int64_t append_driver_record(std::uint32_t status, std::uint32_t key) {
  const std::vector<std::uint8_t> data = test::driver_data_bytes(status, key);
  return sim::append_event_record("System", "kvxwdd", 0xC0070001, 1, 0, static_cast<std::uint32_t>(std::time(nullptr)),
                                  {}, data);
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

class CaptureOnSimulatedLog : public ::testing::Test {
 protected:
  void SetUp() override {
    set_notify_cycle_ms(200);
    set_retry_cycle_ms(60000);
  }
  void TearDown() override {
    harness.stop();
    set_notify_cycle_ms(5000);
  }

  test::recording_writer writer;
  test::worker_harness harness;
};

TEST_F(CaptureOnSimulatedLog, RecordsAppendedAfterTheStartAreDispatchedAndEarlierOnesAreNot) {
  for (int i = 0; i < 3; ++i) ASSERT_GT(append_driver_record(0, 0x020A), 0);
  harness.start(writer.seams());
  ASSERT_TRUE(harness.watching());
  std::vector<std::uint32_t> expected;
  for (int i = 0; i < 5; ++i) {
    expected.push_back(static_cast<std::uint32_t>(append_driver_record(0, 0x0503020A)));
    ASSERT_GT(sim::append_event_record("System", "disk", 0x80040007, 2, 0, 0, {"noise"}, {}), 0);
  }
  ASSERT_GT(append_driver_record(0x80000000, 0x020A), 0);  // class 1: never queued
  ASSERT_TRUE(eventually([&] { return writer.written().size() >= expected.size(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(writer.written_numbers(), expected);
  EXPECT_EQ(expected.front(), 4u);
}

TEST_F(CaptureOnSimulatedLog, ARecordWrittenByAnotherProcessIsDispatched) {
  const std::filesystem::path simhost = test::built_program("simhost/simhost");
  ASSERT_TRUE(std::filesystem::exists(simhost)) << simhost;
  harness.start(writer.seams());
  ASSERT_TRUE(harness.watching());
  const test::command_result r =
      test::run_command({simhost.string(), "eventlog", "write", "System", "--source", "KVXWDD", "--id", "0xC0070002",
                         "--data", hex(test::driver_data_bytes(0xC0000000, 0x0102020A))});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(eventually([&] { return !writer.written().empty(); }));
  EXPECT_EQ(writer.written(), (std::vector<test::written_entry>{{0x020A, 1, true}}));
}

TEST_F(CaptureOnSimulatedLog, ALogClearedWhileWatchedIsFollowedFromItsNewStart) {
  harness.start(writer.seams());
  ASSERT_TRUE(harness.watching());
  for (int i = 0; i < 4; ++i) ASSERT_GT(append_driver_record(0, 0x020A), 0);
  ASSERT_TRUE(eventually([&] { return writer.written().size() == 4; }));
  ASSERT_EQ(sim::clear_event_log("System", sim::clear_numbering::restart), 0);
  ASSERT_EQ(append_driver_record(0, 0x020A), 1);
  ASSERT_EQ(append_driver_record(0, 0x020A), 2);
  ASSERT_TRUE(eventually([&] { return writer.written().size() == 6; }));
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{1, 2, 3, 4, 1, 2}));
}

}  // namespace
}  // namespace kvx::logd
