// The startup scan, the retry pass and thread, and the drain's bound, against
// the fake driver through the real detail requests.
#include "logd/capture/sweeps.h"

#include <thread>

#include "tests/logd/output/output_fixture.h"

namespace kvx::test {
namespace {

int entries_in(const std::string& file) {
  int count = 0;
  for (std::size_t at = file.find("---- KVXWDD LOG #------ ----"); at != std::string::npos;
       at = file.find("---- KVXWDD LOG #------ ----", at + 1)) {
    ++count;
  }
  return count;
}

class Sweeps : public output_test {
 protected:
  void SetUp() override {
    output_test::SetUp();
    logd::set_error_log_size(8);
  }
  std::string file_of(std::uint16_t location) {
    const auto path = log_file(location);
    return std::filesystem::exists(path) ? file_text(path) : std::string();
  }
};

TEST_F(Sweeps, TheStartupScanWritesOneEntryPerOccupiedSlotInSlotOrder) {
  add_adapter(2, 0x0208);
  add_adapter(5, 0x0510);
  driver_.fill_slot(2, 7, {7, 7, 7, 7, 7, 7, 7, 7});
  driver_.fill_slot(2, 1, {1, 1, 1, 1, 1, 1, 1, 1});
  driver_.fill_slot(2, 12, {0xc, 0xc, 0xc, 0xc, 0xc, 0xc, 0xc, 0xc});
  logd::startup_scan();
  const std::string file = file_of(0x0208);
  EXPECT_EQ(entries_in(file), 3);
  EXPECT_EQ(file.substr(0, 4), "   3");
  const std::size_t one = file.find("0x0000(00000) : 01010101 01010101");
  const std::size_t seven = file.find("0x0000(00000) : 07070707 07070707");
  const std::size_t twelve = file.find("0x0000(00000) : 0c0c0c0c 0c0c0c0c");
  ASSERT_NE(one, std::string::npos);
  ASSERT_NE(seven, std::string::npos);
  ASSERT_NE(twelve, std::string::npos);
  EXPECT_LT(one, seven);
  EXPECT_LT(seven, twelve);
  EXPECT_EQ(driver_.snapshot(2).released, (std::vector<int>{1, 7, 12}));
  // The adapter without detail data gets no file at all.
  EXPECT_FALSE(std::filesystem::exists(log_file(0x0510)));
  EXPECT_TRUE(reports_.reports().empty());
}

TEST_F(Sweeps, TheRetryPassDrainsOnlyABitmapThatStayedTheSameForACycle) {
  logd::interface_entry* steady = add_adapter(2, 0x0208);
  logd::interface_entry* changing = add_adapter(3, 0x0300);
  logd::interface_entry* empty = add_adapter(4, 0x0400);
  driver_.fill_slot(2, 0, {1});
  driver_.fill_slot(3, 0, {1});
  logd::retry_pass();
  EXPECT_EQ(logd::get_pending_flags(steady), (std::array<std::uint8_t, 2>{0x80, 0}));
  EXPECT_EQ(logd::get_pending_flags(changing), (std::array<std::uint8_t, 2>{0x80, 0}));
  EXPECT_EQ(logd::get_pending_flags(empty), (std::array<std::uint8_t, 2>{0, 0}));
  EXPECT_EQ(file_of(0x0208), "");

  // Slot 0 of port 3 is brought out by its record; slot 1 arrives.
  driver_.with_adapter(3, [](fake_adapter& a) { a.slots[0].clear(); });
  driver_.fill_slot(3, 1, {1});
  logd::retry_pass();
  EXPECT_EQ(entries_in(file_of(0x0208)), 1);
  EXPECT_EQ(logd::get_pending_flags(steady), (std::array<std::uint8_t, 2>{0, 0}));
  EXPECT_EQ(file_of(0x0300), "");
  EXPECT_EQ(logd::get_pending_flags(changing), (std::array<std::uint8_t, 2>{0x40, 0}));
  EXPECT_EQ(file_of(0x0400), "");
  EXPECT_EQ(logd::get_pending_flags(empty), (std::array<std::uint8_t, 2>{0, 0}));
}

TEST_F(Sweeps, TheSecondBitmapByteAloneAlsoCounts) {
  logd::interface_entry* entry = add_adapter(2, 0x0208);
  driver_.fill_slot(2, 15, {1});
  logd::retry_pass();
  EXPECT_EQ(logd::get_pending_flags(entry), (std::array<std::uint8_t, 2>{0, 0x01}));
  driver_.fill_slot(2, 0, {1});  // byte 0 changes, byte 1 stays
  logd::retry_pass();
  EXPECT_EQ(entries_in(file_of(0x0208)), 2);
  EXPECT_EQ(driver_.snapshot(2).released, (std::vector<int>{0, 15}));
}

TEST_F(Sweeps, AnAdapterWhoseWriterIsAtWorkIsLeftAloneForTheCycle) {
  logd::interface_entry* entry = add_adapter(2, 0x0208);
  driver_.fill_slot(2, 3, {1});
  logd::retry_pass();
  logd::set_busy(entry, 1);
  logd::retry_pass();
  EXPECT_EQ(driver_.snapshot(2).errlog_requests, 1);
  EXPECT_EQ(file_of(0x0208), "");
  EXPECT_EQ(logd::get_pending_flags(entry), (std::array<std::uint8_t, 2>{0x10, 0}));
  logd::set_busy(entry, 0);
  logd::retry_pass();
  EXPECT_EQ(entries_in(file_of(0x0208)), 1);
}

TEST_F(Sweeps, WithoutAReplyThePendingFlagsStayAsTheyWere) {
  logd::interface_entry* entry = add_adapter(2, 0x0208);
  driver_.fill_slot(2, 3, {1});
  logd::retry_pass();
  ASSERT_EQ(logd::get_pending_flags(entry), (std::array<std::uint8_t, 2>{0x10, 0}));
  // A driver that answers busy through every attempt gives no reply.
  driver_.with_adapter(2, [](fake_adapter& a) { a.busy_answers = 3; });
  logd::retry_pass();
  EXPECT_EQ(logd::get_pending_flags(entry), (std::array<std::uint8_t, 2>{0x10, 0}));
  EXPECT_EQ(file_of(0x0208), "");
}

TEST_F(Sweeps, ADriverThatNeverFreesItsSlotIsDrainedABoundedNumberOfTimes) {
  add_adapter(2, 0x0208);
  driver_.fill_slot(2, 4, {4});
  driver_.with_adapter(2, [](fake_adapter& a) { a.release_ignored = true; });
  logd::drain_adapter(logd::get_interface_table());
  EXPECT_EQ(entries_in(file_of(0x0208)), logd::drain_entry_limit);
  const auto events = reports_.reports();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, 2);
  EXPECT_EQ(events[0].text(), "Detail data of \\\\.\\scsi2 is still occupied after 64 entries.");
}

TEST_F(Sweeps, ADrainWhoseEntriesCannotBeWrittenEndsAtTheFirstFailure) {
  add_adapter(2, 0x0208);
  driver_.fill_slot(2, 4, {4});
  std::filesystem::remove_all(log_dir());
  const auto bitmap = logd::drain_adapter_bitmap(logd::get_interface_table());
  ASSERT_TRUE(bitmap.has_value());
  EXPECT_EQ(*bitmap, (std::array<std::uint8_t, 2>{0x08, 0}));
  EXPECT_EQ(reports_.reports().size(), 1u);
  EXPECT_EQ(driver_.snapshot(2).errlog_requests, 1);
  EXPECT_FALSE(driver_.snapshot(2).slots[4].empty()) << "the slot is kept for a later cycle";
}

TEST_F(Sweeps, AnUnpluggedAdapterIsDroppedAndTheScanGoesOnWithTheNext) {
  add_adapter(2, 0x0208);
  add_adapter(3, 0x0300);
  driver_.fill_slot(3, 2, {2});
  driver_.with_adapter(2, [](fake_adapter& a) { a.plugged = false; });
  logd::startup_scan();
  EXPECT_EQ(entries_in(file_of(0x0300)), 1);
  logd::interface_entry* head = logd::get_interface_table();
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(logd::get_symbolic_link_name(head), "\\\\.\\scsi3");
}

TEST_F(Sweeps, TheRetryThreadDrainsAfterTwoCyclesAndComesToRestWhenTheCaptureStops) {
  logd::set_retry_cycle_ms(20);
  add_adapter(2, 0x0208);
  driver_.fill_slot(2, 6, {6});
  std::thread retry(logd::retry_thread);
  for (int i = 0; i < 500 && !driver_.snapshot(2).slots[6].empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  logd::request_capture_stop();
  retry.join();
  EXPECT_TRUE(driver_.snapshot(2).slots[6].empty());
  EXPECT_EQ(entries_in(file_of(0x0208)), 1);
  EXPECT_GE(driver_.snapshot(2).errlog_requests, 3) << "two cycles, then the drain's own request";
}

TEST_F(Sweeps, AStopRequestCutsALongRetryCycleShort) {
  add_adapter(2, 0x0208);
  std::thread retry(logd::retry_thread);
  const auto start = std::chrono::steady_clock::now();
  logd::request_capture_stop();
  retry.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(driver_.snapshot(2).errlog_requests, 0);
}

}  // namespace
}  // namespace kvx::test
