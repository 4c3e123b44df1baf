// The whole watch with its threads: the notify thread catching a missed
// change, thread starts that fail, and the stop sequence bringing writers,
// the notify thread and the retry thread to rest before the store goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "logd/capture/interface_table.h"
#include "tests/logd/capture/worker_harness.h"
#include "tests/support/interface_entries.h"
#include "tests/support/store_session.h"

namespace kvx::logd {
namespace {

using test::eventually;

class Stop : public ::testing::Test {
 protected:
  void SetUp() override {
    set_notify_cycle_ms(5000);
    set_retry_cycle_ms(60000);
  }
  void TearDown() override {
    harness.stop();
    set_notify_cycle_ms(5000);
    set_stop_drain_ms(20000);
  }

  test::capture_fake_event_logs logs;
  platform::scoped_event_logs logs_guard{logs};
  test::recording_writer writer;
  test::worker_harness harness;
};

TEST_F(Stop, StopWatchBringsHeldWritersAndEveryThreadToRestThenTearsDown) {
  set_notify_cycle_ms(20);
  set_retry_cycle_ms(20);
  // The held writer is released when the capture halts, at nine tenths of
  // the bound; the last tenth must be long enough for it to end on a busy
  // machine.
  set_stop_drain_ms(3000);
  writer.hold();
  harness.start(writer.seams());
  ASSERT_TRUE(harness.watching());
  const std::uint32_t queued = logs.append_driver(0, 0x020A);
  ASSERT_TRUE(writer.wait_for_waiting(1));
  // Nine more while the writer is held: the pass that reads them waits for it.
  for (int i = 0; i < 9; ++i) logs.append_driver(0, 0x020A);
  harness.stop();
  EXPECT_EQ(harness.result(), 0u);
  EXPECT_EQ(harness.quits(), 1);
  // The writer, held past the stop's bound, gave up without writing: each
  // record is said once, and everything was released after it.
  EXPECT_TRUE(writer.written().empty());
  const std::vector<std::string> texts = logs.application.texts();
  for (std::uint32_t n = queued; n < queued + 10; ++n) {
    const std::string text = "The eventlog record " + std::to_string(n) +
                             " of the adapter at location 020a is not logged: the service stopped before it was "
                             "written.";
    EXPECT_EQ(std::count(texts.begin(), texts.end(), text), 1) << text;
  }
  EXPECT_EQ(get_interface_table(), nullptr);
  EXPECT_EQ(get_thread_manager_table(), nullptr);
  EXPECT_EQ(get_notify_event(), nullptr);
  EXPECT_FALSE(get_error_log_file_path().has_value());
  EXPECT_FALSE(capture_stopping());
}

TEST_F(Stop, ARecordLeftInTheLogForAFullQueueIsSaidAtTheStop) {
  set_stop_drain_ms(300);
  writer.outcome = [](std::uint32_t) { return 1; };
  harness.start(writer.seams());
  ASSERT_TRUE(harness.watching());
  for (int i = 0; i < 17; ++i) logs.append_driver(0, 0x020A);
  ASSERT_TRUE(eventually([] { return get_deferred_records().size() == 1; }));
  harness.stop();
  // The sixteen queued and the one the log still holds: the next start takes
  // the log as seen, so each is said now.
  const std::vector<std::string> texts = logs.application.texts();
  for (int n = 1; n <= 17; ++n) {
    const std::string text =
        "The eventlog record " + std::to_string(n) +
        " of the adapter at location 020a is not logged: the service stopped before it was written.";
    EXPECT_EQ(std::count(texts.begin(), texts.end(), text), 1) << text;
  }
}

TEST_F(Stop, AStopLetsTheWritersFinishWhatIsQueuedAndWhatTheLogHolds) {
  writer.hold();
  harness.start(writer.seams());
  ASSERT_TRUE(harness.watching());
  std::vector<std::uint32_t> expected{logs.append_driver(0, 0x020A)};
  ASSERT_TRUE(writer.wait_for_waiting(1));
  // More while the writer is held, more than its queue holds: the pass that
  // reads them waits for the writer, and the stop's last pass reads the rest.
  for (int i = 0; i < 20; ++i) expected.push_back(logs.append_driver(0, 0x020A));
  // Released once the stop is under way, so that the records are written in the drain.
  std::thread releaser([this] {
    if (eventually([] { return watch_ending(); })) writer.release();
  });
  harness.stop();
  releaser.join();
  EXPECT_EQ(writer.written_numbers(), expected);
  for (const std::string& text : logs.application.texts())
    EXPECT_EQ(text.find("not logged"), std::string::npos) << text;
}

TEST_F(Stop, AWriterStuckInTheDriverDoesNotHoldTheStopPastItsBound) {
  set_stop_drain_ms(300);
  writer.hold_through_stop();
  harness.start(writer.seams());
  ASSERT_TRUE(harness.watching());
  const std::uint32_t n = logs.append_driver(0, 0x020A);
  ASSERT_TRUE(writer.wait_for_waiting(1));
  harness.stop();
  EXPECT_EQ(harness.quits(), 1);
  EXPECT_NE(logs.application.texts().back().find("record " + std::to_string(n) + " "), std::string::npos);
  // The store stays for the thread left behind; once it ends it is released.
  interface_entry* entry = get_interface_table();
  ASSERT_NE(entry, nullptr);
  writer.release();
  ASSERT_TRUE(eventually([&] { return get_busy(entry) == 0; }));
  teardown_store();
}

TEST_F(Stop, ChangeNotificationDispatchesEachRecordOnceWhileWritersRun) {
  harness.start(writer.seams());
  ASSERT_TRUE(harness.watching());
  // Bursts of more than a queue holds: what does not fit waits in the log.
  std::vector<std::uint32_t> expected;
  for (int burst = 0; burst < 5; ++burst) {
    for (int i = 0; i < 40; ++i) {
      expected.push_back(logs.append_driver(0, 0x020A));
      if (i % 5 == 0) std::this_thread::yield();
    }
    ASSERT_TRUE(eventually([&] { return writer.written().size() >= expected.size(); })) << writer.written().size();
  }
  harness.stop();
  EXPECT_EQ(writer.written_numbers(), expected);
}

TEST_F(Stop, AMissedChangeIsCaughtByTheNotifyThread) {
  set_notify_cycle_ms(30);
  logs.signal_changes = false;
  harness.start(writer.seams());
  ASSERT_TRUE(harness.watching());
  const std::uint32_t n = logs.append_driver(0, 0x020A);
  ASSERT_TRUE(eventually([&] { return !writer.written().empty(); }));
  EXPECT_EQ(writer.written_numbers(), std::vector<std::uint32_t>{n});
}

TEST_F(Stop, WithoutTheNotifyThreadAMissedChangeWaitsForTheNextOne) {
  logs.signal_changes = false;
  harness.start(writer.seams());
  ASSERT_TRUE(harness.watching());
  logs.append_driver(0, 0x020A);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(writer.written().empty());
  logs.signal_changes = true;
  logs.append_driver(0, 0x020A);
  ASSERT_TRUE(eventually([&] { return writer.written().size() == 2; }));
}

TEST_F(Stop, ANotifyOrRetryThreadThatCannotStartEndsTheWatch) {
  for (const char* refused : {"notify", "retry"}) {
    test::capture_fake_event_logs own_logs;
    platform::scoped_event_logs guard(own_logs);
    test::worker_harness own;
    capture_seams seams = writer.seams();
    seams.thread_start_refused = [refused](const char* which) { return std::string(which) == refused; };
    own.start(seams);
    ASSERT_TRUE(own.ended()) << refused;
    own.stop();
    EXPECT_EQ(own.quits(), 1);
    const std::vector<std::string> texts = own_logs.application.texts();
    ASSERT_FALSE(texts.empty()) << refused;
    EXPECT_EQ(texts.back(), "_beginthreadex() error returned. Return code is 0.");
    EXPECT_EQ(get_interface_table(), nullptr);
  }
}

TEST_F(Stop, TheWatchEndsWithItsMessageWhenTheLogWillNotNotify) {
  logs.fail_notify = true;
  harness.start(writer.seams());
  ASSERT_TRUE(harness.ended());
  EXPECT_EQ(harness.quits(), 1);
  EXPECT_EQ(logs.application.texts().back(), "NotifyChangeEventLog() error returned. Return code is 0.");
}

TEST_F(Stop, AStartThatFailsStillTearsDownAndPostsQuit) {
  logs.fail_count = true;
  harness.start(writer.seams());
  ASSERT_TRUE(harness.ended());
  EXPECT_EQ(harness.quits(), 1);
  EXPECT_EQ(get_interface_table(), nullptr);
  EXPECT_FALSE(get_error_log_list_path().has_value());
}

TEST_F(Stop, AStopAskedForBeforeTheWatchBeganIsNotLost) {
  request_capture_stop();
  harness.start(writer.seams());
  ASSERT_TRUE(harness.ended());
  EXPECT_EQ(harness.quits(), 1);
  EXPECT_FALSE(capture_stopping());
}

TEST_F(Stop, APassWaitsForABusyWriterBeforeItAppendsToItsQueue) {
  writer.hold();
  harness.start(writer.seams());
  ASSERT_TRUE(harness.watching());
  logs.append_driver(0, 0x020A);
  ASSERT_TRUE(writer.wait_for_waiting(1));
  // The second record's pass must wait: the first writer owns the queue.
  logs.append_driver(0, 0x020A);
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  interface_entry* entry = get_interface_table();
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(get_queue_count(entry), 1);
  writer.release();
  ASSERT_TRUE(eventually([&] { return writer.written().size() == 2; }));
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{1, 2}));
}

// Unlinks and tail appends from several threads while others walk the table:
// no entry may be lost or left linked, and every walk must end.
TEST(TableChange, ConcurrentRemovalsAppendsAndWalksKeepTheTableWhole) {
  const test::store_session store;
  constexpr int count = 64;
  for (int i = 0; i < count; ++i) (void)test::link_entry_at_tail(test::port_device(i), static_cast<std::uint32_t>(i));
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int parity = 0; parity < 2; ++parity) {
    threads.emplace_back([parity] {
      for (int i = parity; i < count; i += 2) {
        if (i % 4 != 3) remove_interface("\\\\.\\scsi" + std::to_string(i));
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = count; i < count + 16; ++i) {
      std::unique_ptr<interface_entry> e = std::make_unique<interface_entry>();
      e->symbolic_link_name = "\\\\.\\scsi" + std::to_string(i);
      e->bus_dev_func = i;
      interface_entry* raw = adopt_interface_entry(std::move(e));
      std::lock_guard<std::mutex> guard(get_table_change_lock());
      if (interface_entry* last = last_interface()) {
        set_next(last, raw);
      } else {
        set_interface_table(raw);
      }
    }
  });
  threads.emplace_back([&] {
    while (!done) (void)find_interface(0xFFFF);
  });
  for (std::size_t i = 0; i + 1 < threads.size(); ++i) threads[i].join();
  done = true;
  threads.back().join();

  std::vector<std::int32_t> linked;
  for (interface_entry* e = get_interface_table(); e != nullptr; e = get_next(e)) linked.push_back(get_bus_dev_func(e));
  std::vector<std::int32_t> expected;
  for (int i = 3; i < count; i += 4) expected.push_back(i);
  for (int i = count; i < count + 16; ++i) expected.push_back(i);
  EXPECT_EQ(linked, expected);
}

}  // namespace
}  // namespace kvx::logd
