// The dispatch pass and the record reader against an in-memory System log.
#include "logd/capture/watcher.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/logd/capture/capture_fixture.h"

namespace kvx::logd {
namespace {

using test::written_entry;

constexpr std::uint32_t logged = 0x00000000;
constexpr std::uint32_t ignored = 0x80000000;
constexpr std::uint32_t ungettable = 0xC0000000;

class Watcher : public test::capture_fixture {
 protected:
  void fill_other(int n) {
    for (int i = 0; i < n; ++i) logs.append_other("disk");
  }
  std::uint32_t last() const { return static_cast<std::uint32_t>(get_last_record_number()); }
};

TEST_F(Watcher, RecordsPresentAtStartAreSkippedAndTheNextOneIsDispatched) {
  add_entry("\\\\.\\scsi2", 0x020A);
  fill_other(499);
  logs.append_driver(logged, 0x0503020A);
  set_last_record_number(static_cast<std::int32_t>(newest_record_number()));
  ASSERT_EQ(last(), 500u);
  EXPECT_EQ(pass(), 0);
  EXPECT_TRUE(logs.numbers_read().empty());
  EXPECT_TRUE(writer.written().empty());

  EXPECT_EQ(logs.append_driver(logged, 0x0503020A), 501u);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(logs.numbers_read(), std::vector<std::uint32_t>{501});
  EXPECT_EQ(writer.written(), (std::vector<written_entry>{{0x020A, 501, true}}));
  EXPECT_EQ(last(), 501u);
}

TEST_F(Watcher, ALogClearedAndRestartedIsReadFromItsOldestRecord) {
  add_entry("\\\\.\\scsi2", 0x020A);
  set_last_record_number(800);
  logs.clear(1);
  for (int i = 0; i < 3; ++i) logs.append_driver(logged, 0x020A);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(logs.numbers_read(), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(last(), 3u);
}

TEST_F(Watcher, ALogClearedAndWrittenAgainUpToTheLastNumberIsReadFromItsOldestRecord) {
  add_entry("\\\\.\\scsi2", 0x020A);
  fill_other(3);
  ASSERT_TRUE(take_log_as_seen());
  ASSERT_EQ(last(), 3u);
  // Another log under the same numbers: the record under 3 is not the one
  // dispatched last.
  logs.clear(1);
  for (int i = 0; i < 3; ++i) logs.append_driver(logged, 0x020A);
  {
    std::lock_guard<std::mutex> guard(get_dispatch_lock());
    EXPECT_TRUE(log_has_news()) << "the newest number is the last one, but not its record";
  }
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{1, 2, 3}));
  {
    std::lock_guard<std::mutex> guard(get_dispatch_lock());
    EXPECT_FALSE(log_has_news());
  }
  // Cleared and written past it: the same.
  logs.clear(1);
  fill_other(2);
  logs.append_driver(ungettable, 0x020A);
  logs.append_driver(logged, 0x020A);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{1, 2, 3, 3, 4}));
  EXPECT_EQ(last(), 4u);
}

TEST_F(Watcher, Class1IsNeverQueuedAndOtherSourcesAreDropped) {
  interface_entry* e = add_entry("\\\\.\\scsi2", 0x020A);
  logs.append_driver(logged, 0x020A);
  logs.append_driver(ignored, 0x020A);
  logs.append_driver(ungettable, 0x020A);
  logs.append_other("kvxwdd2");
  logs.append_driver(0xBFFFFFFF, 0x020A);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{1, 3}));
  EXPECT_EQ(get_queue_count(e), 0);
  EXPECT_EQ(last(), 5u);
}

TEST_F(Watcher, RecordsForTwoAdaptersStartTwoWritersInTableOrder) {
  interface_entry* a = add_entry("\\\\.\\scsi2", 0x0100);
  interface_entry* b = add_entry("\\\\.\\scsi5", 0x0200);
  logs.append_driver(logged, 0x0200);
  logs.append_driver(logged, 0x0100);
  logs.append_driver(logged, 0x0200);
  writer.hold();
  {
    std::lock_guard<std::mutex> guard(get_dispatch_lock());
    EXPECT_EQ(dispatch_pass(), 0);
  }
  ASSERT_TRUE(writer.wait_for_waiting(2));
  auto& slots = *get_thread_manager_table();
  EXPECT_EQ(get_slot_owner(&slots[0]), a);
  EXPECT_EQ(get_slot_owner(&slots[1]), b);
  EXPECT_EQ(queued(b), (std::vector<std::uint32_t>{1, 3}));
  writer.release();
  join_writers();
  const std::vector<written_entry> w = writer.written();
  ASSERT_EQ(w.size(), 3u);
  // Each adapter's records in record order.
  std::vector<std::uint32_t> of_b;
  for (const written_entry& x : w) {
    if (x.location == 0x0200) of_b.push_back(x.number);
  }
  EXPECT_EQ(of_b, (std::vector<std::uint32_t>{1, 3}));
}

TEST_F(Watcher, ARecordForAnUnknownAdapterIsReportedAfterOneRescanAPass) {
  interface_entry* e = add_entry("\\\\.\\scsi2", 0x020A);
  logs.append_driver(logged, 0x0503030B);
  logs.append_driver(logged, 0x0603030B);
  EXPECT_EQ(pass(), 0);
  EXPECT_TRUE(writer.written().empty());
  EXPECT_EQ(get_interface_table(), e);
  EXPECT_EQ(get_next(e), nullptr);
  EXPECT_EQ(last(), 2u);
  EXPECT_EQ(logs.application.texts(),
            (std::vector<std::string>{
                "The eventlog record 1 of the adapter at location 030b is not logged: no adapter is found at that "
                "location.",
                "The eventlog record 2 of the adapter at location 030b is not logged: no adapter is found at that "
                "location."}));
}

TEST_F(Watcher, RecordsPastAFullQueueWaitInTheLogAndComeInOrder) {
  interface_entry* a = add_entry("\\\\.\\scsi2", 0x020A);
  add_entry("\\\\.\\scsi3", 0x030B);
  std::vector<std::uint32_t> of_a;
  for (int i = 0; i < 20; ++i) of_a.push_back(logs.append_driver(logged, 0x020A));
  const std::uint32_t of_b = logs.append_driver(logged, 0x030B);
  writer.hold();
  int result = 0;
  {
    std::lock_guard<std::mutex> guard(get_dispatch_lock());
    result = dispatch_pass();
  }
  EXPECT_EQ(result, pass_deferred);
  EXPECT_EQ(last(), 16u) << "the 17th is read again by the next pass";
  EXPECT_EQ(get_queue_count(a), 16);
  writer.release();
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(last(), of_b);
  std::vector<std::uint32_t> expected = of_a;
  expected.push_back(of_b);
  std::vector<std::uint32_t> written = writer.written_numbers();
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, expected);
  // Each adapter's entries in record order, each once.
  std::vector<std::uint32_t> written_a;
  for (const written_entry& w : writer.written()) {
    if (w.location == 0x020A) written_a.push_back(w.number);
  }
  EXPECT_EQ(written_a, of_a);
  EXPECT_TRUE(logs.application.texts().empty());
}

TEST_F(Watcher, AQueueThatStaysFullDefersWithoutAPassAtOnce) {
  interface_entry* a = add_entry("\\\\.\\scsi2", 0x020A);
  for (int i = 0; i < 17; ++i) logs.append_driver(logged, 0x020A);
  writer.outcome = [](std::uint32_t) { return 1; };  // the log file cannot be written
  EXPECT_EQ(pass(), pass_deferred);
  EXPECT_EQ(get_queue_count(a), 16);
  // Nothing could be queued: the next pass waits for a change or the notify thread.
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(last(), 16u);
  writer.outcome = [](std::uint32_t) { return 0; };
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(writer.written().size(), 17u);
  EXPECT_EQ(last(), 17u);
}

TEST_F(Watcher, ARecordTooShortForItsStatusWordOrKeyIsReportedAndNotQueued) {
  add_entry("\\\\.\\scsi2", 0x020A);
  logs.append([](std::uint32_t n) { return test::driver_record_bytes(n, std::vector<std::uint8_t>(10, 0)); });
  logs.append([](std::uint32_t n) { return test::driver_record_bytes(n, std::vector<std::uint8_t>(30, 0)); });
  logs.append_driver(logged, 0x020A);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(writer.written_numbers(), std::vector<std::uint32_t>{3});
  EXPECT_EQ(logs.application.texts(),
            (std::vector<std::string>{"The eventlog record 1 is too short for its status word. It is not logged.",
                                      "The eventlog record 2 has no event key at data offset 40. It is not logged."}));
}

TEST_F(Watcher, ARecordLargerThanAnyFixedBufferIsReadWhole) {
  add_entry("\\\\.\\scsi2", 0x020A);
  std::vector<std::uint8_t> data = test::driver_data_bytes(logged, 0x020A, 200 * 1024);
  const std::uint32_t n = logs.append([&](std::uint32_t number) { return test::driver_record_bytes(number, data); });
  std::unique_ptr<event_record> record = read_record(n);
  ASSERT_NE(record, nullptr);
  EXPECT_GT(record->size(), 200u * 1024);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(writer.written_data_sizes(), std::vector<std::size_t>{driver_data(*record).size()});
}

TEST_F(Watcher, ReadRecordOpensAndClosesTheLogOnceAndRefusesNumbersNotInIt) {
  fill_other(5);
  const int opens = logs.opens;
  ASSERT_NE(read_record(3), nullptr);
  EXPECT_EQ(record_number(*read_record(5)), 5u);
  EXPECT_EQ(logs.opens - opens, 2);
  EXPECT_EQ(logs.closes.load(), logs.opens.load());
  EXPECT_EQ(read_record(0), nullptr);
  EXPECT_EQ(read_record(6), nullptr);
  logs.fail_open = true;
  EXPECT_EQ(read_record(3), nullptr);
}

TEST_F(Watcher, APassAsksTheLogItsSpanOnceAndPerRecordOnlyItsOldestNumber) {
  add_entry("\\\\.\\scsi2", 0x020A);
  fill_other(3);
  logs.append_driver(logged, 0x020A);
  const int opens = logs.opens;
  const int counts = logs.count_queries;
  const int oldests = logs.oldest_queries;
  EXPECT_EQ(pass(), 0);
  // The span, then per record: open, oldest number, size probe, read, close.
  EXPECT_EQ(logs.opens - opens, 1 + 4);
  EXPECT_EQ(logs.count_queries - counts, 1);
  EXPECT_EQ(logs.oldest_queries - oldests, 1 + 4);
  EXPECT_EQ(logs.numbers_read(), (std::vector<std::uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(writer.written_numbers(), std::vector<std::uint32_t>{4});
  EXPECT_TRUE(logs.application.texts().empty());
}

TEST_F(Watcher, ALogClearedMidPassDispatchesEveryRecordOnce) {
  add_entry("\\\\.\\scsi2", 0x020A);
  for (int i = 0; i < 5; ++i) logs.append_driver(logged, 0x020A);
  bool cleared = false;
  logs.before_read = [&](std::uint32_t n) {
    if (n == 3 && !cleared) {
      cleared = true;
      logs.clear(1);
      logs.append_driver(logged, 0x020A);
      logs.append_driver(logged, 0x020A);
    }
  };
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(last(), 5u);
  // The next pass finds its last record gone and reads the new log whole.
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{1, 2, 1, 2}));
  EXPECT_EQ(last(), 2u);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(writer.written().size(), 4u);
}

TEST_F(Watcher, AFailedLogQuerySkipsThePassInsteadOfRereadingTheLog) {
  add_entry("\\\\.\\scsi2", 0x020A);
  for (int i = 0; i < 100; ++i) logs.append_driver(logged, 0x020A);
  set_last_record_number(100);
  logs.append_driver(logged, 0x020A);
  logs.fail_count = true;
  EXPECT_EQ(newest_record_number(), -1);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(last(), 100u);
  logs.fail_count = false;
  logs.fail_oldest = true;
  EXPECT_EQ(oldest_record_number(), -1);
  EXPECT_EQ(pass(), 0);
  logs.fail_oldest = false;
  EXPECT_TRUE(logs.numbers_read().empty());
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(logs.numbers_read(), std::vector<std::uint32_t>{101});
  EXPECT_EQ(writer.written_numbers(), std::vector<std::uint32_t>{101});
}

TEST_F(Watcher, NumbersPast2ToThe31AndTheWrapAreDispatchedOnceEach) {
  add_entry("\\\\.\\scsi2", 0x020A);
  logs.clear(0x7FFFFFFE);
  for (int i = 0; i < 4; ++i) logs.append_driver(logged, 0x020A);
  set_last_record_number(static_cast<std::int32_t>(0x7FFFFFFFu));
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{0x80000000u, 0x80000001u}));

  logs.clear(0xFFFFFFFD);
  for (int i = 0; i < 3; ++i) logs.append_driver(logged, 0x020A);
  set_last_record_number(static_cast<std::int32_t>(0xFFFFFFFEu));
  EXPECT_EQ(newest_record_number(), 0xFFFFFFFF);
  logs.append_driver(logged, 0x020A);
  logs.append_driver(logged, 0x020A);
  EXPECT_EQ(newest_record_number(), 2);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{0x80000000u, 0x80000001u, 0xFFFFFFFFu, 1u, 2u}));
  EXPECT_EQ(last(), 2u);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(writer.written().size(), 5u);
}

TEST_F(Watcher, AnEmptyLogReportsTheNumberBeforeItsNextAndAPassOnItChangesNothing) {
  EXPECT_EQ(newest_record_number(), 0) << "a log that will start at 1: its first record is not yet seen";
  EXPECT_EQ(oldest_record_number(), 0);
  logs.clear(801, 801);
  EXPECT_EQ(newest_record_number(), 800);
  set_last_record_number(800);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(last(), 800u);
  EXPECT_TRUE(logs.numbers_read().empty());
}

TEST_F(Watcher, ARefusedWriterLeavesItsRecordsForTheNextPass) {
  interface_entry* e = add_entry("\\\\.\\scsi2", 0x020A);
  logs.append_driver(logged, 0x020A);
  capture_seams seams = writer.seams();
  seams.thread_start_refused = [](const char*) { return true; };
  set_capture_seams(seams);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(last(), 1u);
  EXPECT_EQ(get_busy(e), 0);
  EXPECT_EQ(queued(e), std::vector<std::uint32_t>{1});
  set_capture_seams(writer.seams());
  logs.append_driver(logged, 0x020A);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{1, 2}));
}

TEST_F(Watcher, NoFreeSlotEndsTheWatchAndKeepsTheLastRecordNumber) {
  add_entry("\\\\.\\scsi2", 0x020A);
  for (auto& slot : *get_thread_manager_table()) set_slot_taken(&slot, true);
  logs.append_driver(logged, 0x020A);
  EXPECT_EQ(pass(), 1);
  EXPECT_EQ(last(), 0u);
  for (auto& slot : *get_thread_manager_table()) set_slot_taken(&slot, false);
}

TEST_F(Watcher, RecordsLeftOnARemovedEntryAreStillWrittenAndTheEntryThenReleased) {
  interface_entry* e = add_entry("\\\\.\\scsi2", 0x020A);
  ASSERT_EQ(enqueue_record(e, test::record_for(1, 0x020A)), 0);
  remove_interface("\\\\.\\scsi2");
  logs.append_other("disk");
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(writer.written_numbers(), std::vector<std::uint32_t>{1});
  logs.append_other("disk");
  EXPECT_EQ(pass(), 0);
  EXPECT_TRUE(get_removed_entries().empty()) << "released once no thread holds it";
}

TEST_F(Watcher, ARecordLeftForAFullQueueInAClearedLogIsNotHiddenByTheOldLastNumber) {
  add_entry("\\\\.\\scsi2", 0x020A);
  writer.outcome = [](std::uint32_t) { return 1; };
  for (int i = 0; i < 17; ++i) logs.append_driver(logged, 0x020A);
  EXPECT_EQ(pass(), pass_deferred);
  EXPECT_EQ(pass(), 0);
  ASSERT_EQ(last(), 16u);
  logs.clear(1);
  writer.outcome = [](std::uint32_t) { return 0; };
  logs.append_driver(logged, 0x020A);
  EXPECT_EQ(pass(), 0) << "the queue is still full: record 1 of the new log stays in it";
  EXPECT_EQ(last(), 0u) << "the number before the new log's first record, not the old log's 16";
  // The old log's 17th, read and left for the full queue, went with the clear.
  EXPECT_EQ(logs.application.texts(),
            std::vector<std::string>{"The eventlog record 17 of the adapter at location 020a is not logged: the "
                                     "eventlog was cleared before it was written."});
  // The new log reaches the old last number before the next pass.
  for (int i = 0; i < 16; ++i) logs.append_driver(logged, 0x020A);
  int passes = 0;
  while (pass() == pass_deferred) ASSERT_LT(++passes, 10);
  EXPECT_EQ(writer.written().size(), 33u) << "the 16 queued from the old log and all 17 of the new one";
  EXPECT_EQ(last(), 17u);
}

}  // namespace
}  // namespace kvx::logd
