// Record queues, thread slots and the writer threads.
#include <gtest/gtest.h>

#include "tests/logd/capture/capture_fixture.h"

namespace kvx::logd {
namespace {

using test::record_for;
using test::written_entry;

class Writer : public test::capture_fixture {
 protected:
  /// Starts a writer for `e` and waits until it has finished.
  void run_writer(interface_entry* e) {
    ASSERT_EQ(start_writer(e), writer_started);
    join_writers();
    EXPECT_EQ(get_busy(e), 0);
  }
};

TEST_F(Writer, OneWriterWritesThreeRecordsInOrderWithOneDetailRequest) {
  interface_entry* e = add_entry("\\\\.\\scsi2", 0x020A);
  for (std::uint32_t n : {11u, 12u, 13u}) ASSERT_EQ(enqueue_record(e, record_for(n, 0x0503020A)), 0);
  run_writer(e);
  EXPECT_EQ(writer.written(), (std::vector<written_entry>{{0x020A, 11, true}, {0x020A, 12, true}, {0x020A, 13, true}}));
  EXPECT_EQ(writer.detail_requests(), std::vector<std::uint16_t>{0x020A});
  EXPECT_EQ(get_queue_count(e), 0);
  EXPECT_EQ(get_queue_head(e), nullptr);
  EXPECT_EQ(find_free_slot(), &get_thread_manager_table()->at(0));
}

TEST_F(Writer, ASeventeenthRecordOfferedToAFullQueueIsSaidAndTheSixteenAreWritten) {
  interface_entry* e = add_entry("\\\\.\\scsi2", 0x020A);
  for (std::uint32_t n = 1; n <= 17; ++n) EXPECT_EQ(enqueue_record(e, record_for(n, 0x020A)), 0);
  EXPECT_EQ(get_queue_count(e), 16);
  EXPECT_EQ(logs.application.texts(),
            std::vector<std::string>{"The eventlog record 17 of the adapter at location 020a is "
                                     "not logged: its adapter's queue is full."});
  EXPECT_EQ(queued(e).back(), 16u);
  run_writer(e);
  std::vector<std::uint32_t> expected;
  for (std::uint32_t n = 1; n <= 16; ++n) expected.push_back(n);
  EXPECT_EQ(writer.written_numbers(), expected);
}

TEST_F(Writer, AFailedWriteKeepsItAndThoseBehindItAndNothingIsWrittenTwice) {
  interface_entry* e = add_entry("\\\\.\\scsi2", 0x020A);
  for (std::uint32_t n : {1u, 2u, 3u, 4u}) ASSERT_EQ(enqueue_record(e, record_for(n, 0x020A)), 0);
  bool fail_three = true;
  writer.outcome = [&](std::uint32_t n) { return n == 3 && fail_three ? 1 : 0; };
  run_writer(e);
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(get_queue_count(e), 2);
  EXPECT_EQ(queued(e), (std::vector<std::uint32_t>{3, 4}));
  EXPECT_EQ(find_free_slot(), &get_thread_manager_table()->at(0));

  fail_three = false;
  run_writer(e);
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(get_queue_count(e), 0);
}

TEST_F(Writer, AFailingFirstRecordLeavesTheQueueWhole) {
  interface_entry* e = add_entry("\\\\.\\scsi2", 0x020A);
  for (std::uint32_t n : {5u, 6u}) ASSERT_EQ(enqueue_record(e, record_for(n, 0x020A)), 0);
  writer.outcome = [](std::uint32_t) { return 1; };
  run_writer(e);
  EXPECT_EQ(queued(e), (std::vector<std::uint32_t>{5, 6}));
  EXPECT_EQ(get_queue_count(e), 2);
}

TEST_F(Writer, TwoAdaptersGetTwoWritersInSlotsByTableOrder) {
  interface_entry* a = add_entry("\\\\.\\scsi2", 0x0100);
  interface_entry* b = add_entry("\\\\.\\scsi5", 0x0200);
  ASSERT_EQ(enqueue_record(a, record_for(1, 0x0100)), 0);
  ASSERT_EQ(enqueue_record(b, record_for(2, 0x0200)), 0);
  writer.hold();
  ASSERT_EQ(start_writer(a), writer_started);
  ASSERT_EQ(start_writer(b), writer_started);
  ASSERT_TRUE(writer.wait_for_waiting(2));
  auto& slots = *get_thread_manager_table();
  EXPECT_EQ(get_slot_owner(&slots[0]), a);
  EXPECT_EQ(get_slot_owner(&slots[1]), b);
  EXPECT_TRUE(get_slot_taken(&slots[0]));
  EXPECT_EQ(get_busy(a), 1);
  EXPECT_EQ(get_busy(b), 1);
  EXPECT_EQ(find_free_slot(), &slots[2]);
  writer.release();
  join_writers();
  EXPECT_FALSE(get_slot_taken(&slots[0]));
  EXPECT_EQ(get_slot_owner(&slots[1]), nullptr);
  EXPECT_EQ(writer.written().size(), 2u);
}

TEST_F(Writer, SlotsAreFoundInIndexOrderAndReleasedByOwner) {
  auto& slots = *get_thread_manager_table();
  interface_entry* a = add_entry("\\\\.\\scsi1", 1);
  set_slot_owner(&slots[0], a);
  set_slot_taken(&slots[0], true);
  set_slot_taken(&slots[1], true);
  EXPECT_EQ(find_free_slot(), &slots[2]);
  EXPECT_EQ(release_slot(a), 0);
  EXPECT_EQ(find_free_slot(), &slots[0]);
  EXPECT_EQ(release_slot(a), 1);
  EXPECT_EQ(release_slot(nullptr), 1);
  for (auto& slot : slots) set_slot_taken(&slot, true);
  EXPECT_EQ(find_free_slot(), nullptr);
  interface_entry* b = add_entry("\\\\.\\scsi2", 2);
  ASSERT_EQ(enqueue_record(b, record_for(1, 2)), 0);
  EXPECT_EQ(start_writer(b), writer_watch_ends);
  EXPECT_EQ(get_busy(b), 0);
  for (auto& slot : slots) set_slot_taken(&slot, false);
}

TEST_F(Writer, AWriterTheSystemRefusesGivesBackItsSlotAndBusyAndKeepsTheRecords) {
  interface_entry* e = add_entry("\\\\.\\scsi2", 0x020A);
  ASSERT_EQ(enqueue_record(e, record_for(8, 0x020A)), 0);
  capture_seams seams = writer.seams();
  seams.thread_start_refused = [](const char* which) { return std::string(which) == "writer"; };
  set_capture_seams(seams);
  EXPECT_EQ(start_writer(e), writer_not_started);
  EXPECT_EQ(get_busy(e), 0);
  EXPECT_EQ(find_free_slot(), &get_thread_manager_table()->at(0));
  EXPECT_EQ(get_slot_owner(&get_thread_manager_table()->at(0)), nullptr);
  EXPECT_EQ(queued(e), std::vector<std::uint32_t>{8});
  ASSERT_EQ(logs.application.texts().size(), 1u);
  EXPECT_EQ(logs.application.texts()[0].rfind("_beginthread() error returned. Return code is ", 0), 0u);

  set_capture_seams(writer.seams());
  run_writer(e);
  EXPECT_EQ(writer.written_numbers(), std::vector<std::uint32_t>{8});
}

TEST_F(Writer, ASlotIsReusedAfterItsPreviousWriterIsJoined) {
  interface_entry* e = add_entry("\\\\.\\scsi2", 0x020A);
  for (std::uint32_t n = 1; n <= 40; ++n) {
    ASSERT_EQ(enqueue_record(e, record_for(n, 0x020A)), 0);
    ASSERT_EQ(start_writer(e), writer_started);
    // The dispatch pass waits for busy; the writer clears it last.
    while (get_busy(e) == 1) std::this_thread::yield();
  }
  join_writers();
  EXPECT_EQ(writer.written().size(), 40u);
}

TEST_F(Writer, RemovingTheHeadOrAMiddleEntryKeepsTheOthersInOrder) {
  interface_entry* a = add_entry("\\\\.\\scsi0", 0x0100);
  interface_entry* b = add_entry("\\\\.\\scsi1", 0x0200);
  interface_entry* c = add_entry("\\\\.\\scsi2", 0x0300);
  interface_entry* d = add_entry("\\\\.\\scsi3", 0x0400);
  remove_interface("\\\\.\\scsi0");
  EXPECT_EQ(get_interface_table(), b);
  remove_interface("\\\\.\\scsi2");
  EXPECT_EQ(get_next(b), d);
  EXPECT_EQ(last_interface(), d);
  // A walker standing on a removed entry still reaches what followed it.
  EXPECT_EQ(get_next(c), d);
  EXPECT_TRUE(get_removed(a));
  EXPECT_EQ(find_interface(0x0300), nullptr);
  EXPECT_EQ(find_interface(0xFF000400), d);
  remove_interface("\\\\.\\scsi9");
  remove_interface("\\\\.\\SCSI1");  // names compare exactly
  EXPECT_EQ(get_interface_table(), b);
  EXPECT_EQ(get_removed_entries(), (std::vector<interface_entry*>{a, c}));
}

TEST_F(Writer, AnEntryRemovedWhileItsWriterRunsStaysUsableUntilTheWriterEnds) {
  interface_entry* e = add_entry("\\\\.\\scsi2", 0x020A);
  for (std::uint32_t n : {1u, 2u}) ASSERT_EQ(enqueue_record(e, record_for(n, 0x020A)), 0);
  writer.hold();
  ASSERT_EQ(start_writer(e), writer_started);
  ASSERT_TRUE(writer.wait_for_waiting(1));
  remove_interface("\\\\.\\scsi2");
  EXPECT_EQ(get_interface_table(), nullptr);
  writer.release();
  join_writers();
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(get_busy(e), 0);
  EXPECT_EQ(get_queue_count(e), 0);
}

TEST_F(Writer, AWriterStopsBetweenRecordsWhenTheCaptureStops) {
  interface_entry* e = add_entry("\\\\.\\scsi2", 0x020A);
  for (std::uint32_t n : {1u, 2u, 3u}) ASSERT_EQ(enqueue_record(e, record_for(n, 0x020A)), 0);
  writer.outcome = [](std::uint32_t n) {
    if (n == 1) request_capture_stop();
    return 0;
  };
  run_writer(e);
  EXPECT_EQ(writer.written_numbers(), std::vector<std::uint32_t>{1});
  EXPECT_EQ(queued(e), (std::vector<std::uint32_t>{2, 3}));
}

}  // namespace
}  // namespace kvx::logd
