// Waitable events, change notification on the simulated logs (in-process and
// from another process), and readers running beside a writer or a clearer:
// no torn record ever reaches a reader. The change notification pulses its
// event, as NotifyChangeEventLog does: only a thread waiting at that moment
// hears of the change.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/event_log.h"
#include "platform/host.h"
#include "platform/sim/event_log_file.h"
#include "platform/sim/sync_event.h"
#include "platform/sync.h"
#include "platform/win_codes.h"
#include "tests/eventlog/driver_text_records.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/poll.h"
#include "tests/support/process.h"

namespace {

namespace sim = kvx::sim;
namespace win = kvx::win;
using kvx::platform::create_event;
using kvx::test::append_driver_text;

// Long enough never to be reached by a healthy build, however loaded.
constexpr std::uint32_t generous_ms = 20000;

// The append helper's command line.
std::vector<std::string> appender(const char* log, int count, int max_data) {
  return {kvx::test::built_program("tests/eventlog/eventlog_append_child").string(), log, std::to_string(count),
          std::to_string(max_data)};
}

// Waits on `event` on a thread of its own while `change` is made again and
// again (a pulse reaches only a thread already waiting): true once the waiter
// has been released, false when it never is.
bool released_by(kvx::platform::event_handle& event, const std::function<void()>& change) {
  std::atomic<bool> done{false};
  std::atomic<std::uint32_t> result{win::wait_failed};
  std::thread waiter([&] {
    result = event.wait(generous_ms);
    done = true;
  });
  (void)kvx::test::eventually(
      [&] {
        if (done) return true;
        change();
        return false;
      },
      std::chrono::milliseconds(generous_ms));
  waiter.join();
  return result == win::wait_object_0;
}

int open_fd_count() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

// Every record in `got` bytes parses whole; gives how many there were, or -1.
int count_whole_records(const std::vector<std::uint8_t>& buffer, std::uint32_t got) {
  int n = 0;
  for (std::size_t at = 0; at < got;) {
    sim::event_record r;
    const std::uint32_t len = sim::parse_event_record(std::span(buffer.data() + at, got - at), r);
    if (len == 0) return -1;
    at += len;
    ++n;
  }
  return n;
}

TEST(WaitableEvent, AutoResetSignalsCollapseAndStaySetUntilTaken) {
  auto e = create_event(nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->wait(0), win::wait_timeout);
  EXPECT_EQ(e->wait(20), win::wait_timeout);
  e->set();
  e->set();
  e->set();
  EXPECT_EQ(e->wait(0), win::wait_object_0);
  EXPECT_EQ(e->wait(0), win::wait_timeout) << "three signals while nobody waited are one";
}

TEST(WaitableEvent, SetReleasesAWaitingThread) {
  auto e = create_event("");
  ASSERT_NE(e, nullptr);
  std::atomic<std::uint32_t> result{12345};
  std::thread waiter([&] { result = e->wait(win::infinite); });
  e->set();
  waiter.join();
  EXPECT_EQ(result.load(), win::wait_object_0);
  EXPECT_EQ(e->wait(0), win::wait_timeout) << "the waiter took the signal";
}

TEST(WaitableEvent, APulseReleasesOnlyAThreadWaitingAtThatMoment) {
  auto e = create_event(nullptr);
  ASSERT_NE(e, nullptr);
  sim::pulse_event(*e);
  EXPECT_EQ(e->wait(0), win::wait_timeout) << "a pulse with nobody waiting is lost";
  e->set();
  sim::pulse_event(*e);
  EXPECT_EQ(e->wait(0), win::wait_timeout) << "and takes back a signal not yet taken, as PulseEvent does";
  EXPECT_TRUE(released_by(*e, [&] { sim::pulse_event(*e); }));
  EXPECT_EQ(e->wait(0), win::wait_timeout) << "the pulse that released the waiter left nothing behind";
  e->set();
  EXPECT_EQ(e->wait(0), win::wait_object_0) << "SetEvent still stays set until a wait takes it";
}

TEST(WaitableEvent, SameNameIsOneEventInTheProcess) {
  auto a = create_event("velmora_kvxwdd_hbalogd_notify_event");
  auto b = create_event("velmora_kvxwdd_hbalogd_notify_event");
  auto other = create_event("another_event");
  ASSERT_TRUE(a && b && other);
  a->set();
  EXPECT_EQ(other->wait(0), win::wait_timeout);
  EXPECT_EQ(b->wait(0), win::wait_object_0);
  EXPECT_EQ(a->wait(0), win::wait_timeout);
  a->set();
  a.reset();
  b.reset();
  auto again = create_event("velmora_kvxwdd_hbalogd_notify_event");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->wait(0), win::wait_timeout) << "a name no handle holds any more is a new event";
}

// A System log reader with an event registered for its changes.
class WatchedSystemLog : public testing::Test {
 protected:
  void SetUp() override {
    reader = kvx::platform::backend_event_logs().open_log("System");
    e = create_event(nullptr);
    ASSERT_TRUE(reader && e);
    ASSERT_TRUE(reader->notify_change(*e));
  }

  kvx::test::temp_host host;
  std::unique_ptr<kvx::platform::event_handle> e;  // outlives the reader, as it must
  std::unique_ptr<kvx::platform::event_log_reader> reader;
};

TEST_F(WatchedSystemLog, AWriteReleasesAThreadThatWaits) {
  EXPECT_TRUE(released_by(*e, [] { EXPECT_GE(append_driver_text("one"), 1); }));
  // A second registration of the same event adds nothing.
  ASSERT_TRUE(reader->notify_change(*e));
  EXPECT_TRUE(released_by(*e, [] { EXPECT_GE(append_driver_text("two"), 1); }));
  // Clearing is a change too.
  EXPECT_TRUE(released_by(*e, [] { EXPECT_EQ(sim::clear_event_log("System", sim::clear_numbering::restart), 0); }));
}

TEST_F(WatchedSystemLog, WritesWhileNobodyWaitsAreLostToTheEvent) {
  // A second event, registered after `e`, with a thread waiting on it: the
  // events are pulsed in the order of registration, so once that thread is
  // released `e` has had its pulse for the same change, with nobody waiting.
  auto witness = create_event(nullptr);
  ASSERT_NE(witness, nullptr);
  ASSERT_TRUE(reader->notify_change(*witness));
  EXPECT_TRUE(released_by(*witness, [] {
    for (int i = 0; i < 5; ++i) EXPECT_GE(append_driver_text("burst"), 1);
  }));
  EXPECT_EQ(e->wait(0), win::wait_timeout) << "every pulse of the burst found nobody waiting on it";
  std::uint32_t count = 0;
  ASSERT_TRUE(reader->number_of_records(count));
  EXPECT_GE(count, 5u) << "the records are there for whoever looks";
  reader.reset();  // before the witness goes: the events must outlive the reader
}

TEST(ChangeNotification, ReadersOnBothLogsAndOnlyTheirOwn) {
  kvx::test::temp_host host;
  auto es = create_event(nullptr);  // the events outlive the readers
  auto ea = create_event(nullptr);
  auto system = kvx::platform::backend_event_logs().open_log("System");
  auto application = kvx::platform::backend_event_logs().open_log("Application");
  ASSERT_TRUE(system && application && es && ea);
  ASSERT_TRUE(system->notify_change(*es));
  ASSERT_TRUE(application->notify_change(*ea));
  auto source = kvx::platform::backend_event_logs().register_source("Hbalogd");
  ASSERT_NE(source, nullptr);
  // A thread waits on the System log's event all along; only a set made
  // after the Application log's waiter was released ends its wait.
  std::atomic<bool> application_released{false};
  std::atomic<bool> system_released_early{false};
  std::thread system_waiter([&] {
    const std::uint32_t rc = es->wait(generous_ms);
    system_released_early = rc == win::wait_object_0 && !application_released;
  });
  EXPECT_TRUE(released_by(*ea, [&] { EXPECT_TRUE(source->report(1, 0, 0xC0000001, {"app"}, {})); }));
  application_released = true;
  es->set();
  system_waiter.join();
  EXPECT_FALSE(system_released_early) << "the System log was not written";
}

TEST(ChangeNotification, ClosingTheReaderStopsItsWatch) {
  kvx::test::temp_host host;
  auto probe = kvx::platform::backend_event_logs().open_log("System");  // the log exists from here on
  ASSERT_NE(probe, nullptr);
  const int fds_before = open_fd_count();
  auto e = create_event(nullptr);
  for (int i = 0; i < 50; ++i) {
    auto reader = kvx::platform::backend_event_logs().open_log("System");
    ASSERT_NE(reader, nullptr);
    ASSERT_TRUE(reader->notify_change(*e));
  }
  EXPECT_EQ(open_fd_count(), fds_before) << "no descriptor outlives its reader";
  ASSERT_EQ(append_driver_text("after close"), 1);
  EXPECT_EQ(e->wait(300), win::wait_timeout) << "no watch outlives its reader";
}

TEST_F(WatchedSystemLog, AnotherProcessWritingWakesTheWaiter) {
  std::uint32_t writers = 0;
  EXPECT_TRUE(released_by(*e, [&] {
    EXPECT_EQ(kvx::test::run_command(appender("System", 1, 104)).status, 0);
    ++writers;
  }));
  std::uint32_t count = 0;
  ASSERT_TRUE(reader->number_of_records(count));
  EXPECT_EQ(count, writers);
}

TEST(ConcurrentAccess, ReadersBesideAnotherProcessWritingSeeOnlyWholeRecords) {
  kvx::test::temp_host host;
  ASSERT_EQ(append_driver_text("seed"), 1);
  constexpr int writes = 300;
  kvx::test::background_process child(appender("System", writes, 3000));
  ASSERT_TRUE(child.started());
  std::uint32_t seen = 0;
  int status = -1;
  bool child_done = false;
  for (;;) {
    // The watcher's way: newest number, size probe, exact read.
    auto r = kvx::platform::backend_event_logs().open_log("System");
    ASSERT_NE(r, nullptr);
    std::uint32_t oldest = 0, count = 0;
    ASSERT_TRUE(r->oldest_record_number(oldest));
    ASSERT_TRUE(r->number_of_records(count));
    ASSERT_EQ(oldest, 1u);
    ASSERT_GE(count, seen);
    seen = count;
    const std::uint32_t newest = oldest + count - 1;
    std::uint8_t one = 0;
    std::uint32_t got = 0, needed = 0;
    ASSERT_EQ(r->read(10, newest, &one, 1, got, needed), win::error_insufficient_buffer);
    std::vector<std::uint8_t> buffer(needed);
    ASSERT_EQ(r->read(9, 0, buffer.data(), needed, got, needed), win::error_success);
    ASSERT_EQ(count_whole_records(buffer, got), 1);
    // A record in the middle, found through the index the writer keeps.
    const std::uint32_t middle = oldest + count / 2;
    if (middle > 1) {
      ASSERT_EQ(r->read(10, middle, &one, 1, got, needed), win::error_insufficient_buffer);
      buffer.assign(needed, 0);
      ASSERT_EQ(r->read(9, 0, buffer.data(), needed, got, needed), win::error_success);
      sim::event_record record;
      ASSERT_GT(sim::parse_event_record(std::span(buffer.data(), got), record), 0u);
      ASSERT_EQ(record.record_number, middle);
      ASSERT_EQ(record.strings, std::vector<std::string>{"child " + std::to_string(middle - 2)});
    }
    // And everything at once, from the oldest record.
    buffer.assign(4 << 20, 0);
    ASSERT_EQ(r->read(6, oldest, buffer.data(), static_cast<std::uint32_t>(buffer.size()), got, needed),
              win::error_success);
    ASSERT_GE(count_whole_records(buffer, got), static_cast<int>(count));
    if (child_done) break;  // one more round after the writer ended
    if (!child.running()) {
      child_done = true;
      status = child.wait();
    }
  }
  EXPECT_EQ(status, 0);
  EXPECT_EQ(seen, static_cast<std::uint32_t>(writes + 1));
}

TEST(ConcurrentAccess, ThreadsReadingWhileAnotherClearsAndRefills) {
  kvx::test::temp_host host;
  ASSERT_EQ(append_driver_text("seed"), 1);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int round = 0; round < 60; ++round) {
      for (int i = 0; i < 5; ++i) EXPECT_GE(append_driver_text("refill"), 1);
      EXPECT_EQ(
          sim::clear_event_log("System", round % 2 != 0 ? sim::clear_numbering::keep : sim::clear_numbering::restart),
          0);
    }
    done = true;
  });
  std::atomic<int> torn{0};
  std::atomic<int> corrupt{0};
  std::atomic<int> wrong{0};
  auto read_loop = [&] {
    auto r = kvx::platform::backend_event_logs().open_log("System");
    if (r == nullptr) {
      ++corrupt;
      return;
    }
    std::vector<std::uint8_t> buffer(1 << 16);
    std::uint32_t turn = 0;
    while (!done) {
      std::uint32_t got = 0, needed = 0;
      const std::uint32_t rc = r->read(5, 0, buffer.data(), static_cast<std::uint32_t>(buffer.size()), got, needed);
      if (rc == win::error_success && count_whole_records(buffer, got) < 1) ++torn;
      if (rc == win::error_event_log_file_corrupt) ++corrupt;
      // A record by its number, while the index changes under the clears:
      // the record asked for, or none at all.
      std::uint32_t oldest = 0, count = 0;
      if (r->oldest_record_number(oldest) && r->number_of_records(count) && count > 2) {
        const std::uint32_t n = oldest + 1 + turn++ % (count - 2);
        const std::uint32_t seek_rc = r->read(6, n, buffer.data(), 4096, got, needed);
        sim::event_record record;
        if (seek_rc == win::error_success &&
            (sim::parse_event_record(std::span(buffer.data(), got), record) == 0 || record.record_number != n)) {
          ++wrong;
        }
        if (seek_rc == win::error_event_log_file_corrupt) ++corrupt;
      }
      // Running off the end starts the next pass from the oldest record.
      if (rc == win::error_handle_eof) r = kvx::platform::backend_event_logs().open_log("System");
      if (r == nullptr) return;
    }
  };
  std::thread reader_a(read_loop);
  std::thread reader_b(read_loop);
  writer.join();
  reader_a.join();
  reader_b.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(corrupt.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
