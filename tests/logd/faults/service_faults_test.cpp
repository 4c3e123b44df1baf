// Fault runs of hbalogd on the simulated host: the service killed in the
// middle of writing entries, its System log damaged by hand, its log file
// made read-only and its log directory removed, and the driver simulator
// killed under it. Each run checks what the service must keep: a whole log
// file header, every entry that was complete, and a running service.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>
#include <thread>

#include "platform/sim/event_log_file.h"
#include "tests/fakes/capture_fake_event_log.h"
#include "tests/logd/faults/fault_rig.h"

namespace kvx::test {
namespace {

constexpr const char* end_marker = "--- end of log ---";
constexpr const char* unopened_log_file =
    "Unable to open file C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\log\\kvx0208.log";

bool starts_with_at(const std::string& text, std::size_t at, const std::string& what) {
  return at <= text.size() && text.compare(at, what.size(), what) == 0;
}

// What a log file must show whenever the service may have died: a whole
// header whose offset lies on the end marker, or on an entry written after
// the last stored header (which the next entry overwrites); `count` whole
// entries ahead of it, each ending in its four line ends, and (for a System
// log that was never cleared) numbered in order.
void expect_consistent(const std::string& file, bool numbers_rise = true) {
  const log_header h = read_log_header(file);
  ASSERT_TRUE(h.valid) << file.substr(0, 16);
  ASSERT_LE(static_cast<std::size_t>(h.offset), file.size());
  const std::vector<std::size_t> after = entry_starts(file, static_cast<std::size_t>(h.offset), file.size());
  EXPECT_TRUE(starts_with_at(file, static_cast<std::size_t>(h.offset), end_marker) ||
              (!after.empty() && after.front() == static_cast<std::size_t>(h.offset)))
      << "offset " << h.offset << ": " << file.substr(static_cast<std::size_t>(h.offset), 40);
  const std::vector<std::size_t> starts = entry_starts(file, 16, static_cast<std::size_t>(h.offset));
  ASSERT_EQ(starts.size(), static_cast<std::size_t>(h.count));
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : static_cast<std::size_t>(h.offset);
    EXPECT_EQ(file.substr(end - 8, 8), "\r\n\r\n\r\n\r\n") << "entry at " << starts[i] << " is not whole";
  }
  if (!numbers_rise) return;
  const std::vector<std::uint32_t> numbers = entry_numbers(file, 16, static_cast<std::size_t>(h.offset));
  for (std::size_t i = 1; i < numbers.size(); ++i) EXPECT_LT(numbers[i - 1], numbers[i]) << "entry " << i;
}

std::int64_t append_driver_record(std::uint32_t key) {
  return sim::append_event_record("System", "kvxwdd", 0xC0070001, 1, 0, static_cast<std::uint32_t>(std::time(nullptr)),
                                  {"\\Device\\KvxPort2"}, driver_data_bytes(0, key));
}

// The System log file replaced in place by `bytes` (one open for writing, so
// that the service's change watch sees it as a person's editor would make it).
void write_system_log(const std::string& bytes, bool keep_length = false) {
  const std::string path = sim::event_log_path("System").string();
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  if (keep_length) {
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(bytes.size())), 0);
  } else {
    ASSERT_EQ(::ftruncate(fd, 0), 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  ::close(fd);
}

TEST_F(FaultRun, AServiceKilledWhileWritingKeepsItsHeaderAndEveryWholeEntry) {
  // Kill moments spread over a burst of records; each restart writes its
  // first entry where the header left off.
  const int kill_after_ms[] = {2, 15, 40, 90, 160, 260};
  std::string previous;
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    start_service();
    const std::int64_t first = inject(1, 3);
    ASSERT_GT(first, 0);
    ASSERT_TRUE(wait_for_entry(static_cast<std::uint32_t>(first))) << service_output();
    const std::string restarted = log_text();
    if (!previous.empty()) {
      const log_header before = read_log_header(previous);
      // Nothing complete before the kill is lost, and the new entry starts
      // where the header said.
      EXPECT_EQ(restarted.compare(16, static_cast<std::size_t>(before.offset) - 16, previous, 16,
                                  static_cast<std::size_t>(before.offset) - 16),
                0);
      const std::vector<std::size_t> starts =
          entry_starts(restarted, static_cast<std::size_t>(before.offset), restarted.size());
      ASSERT_FALSE(starts.empty());
      EXPECT_EQ(starts.front(), static_cast<std::size_t>(before.offset));
      EXPECT_EQ(entry_numbers(restarted, static_cast<std::size_t>(before.offset), restarted.size()).front(),
                static_cast<std::uint32_t>(first));
    }

    std::atomic<bool> go_on{true};
    std::thread burst([&] {
      for (int i = 0; i < 400 && go_on; ++i) {
        (void)append_driver_record(0x05000208);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(kill_after_ms[round]));
    kill_service();
    go_on = false;
    burst.join();

    previous = log_text();
    expect_consistent(previous);
  }
}

// A kill lands between two entries far more often than inside one; these are
// the files that a kill at each step of an entry leaves behind: part of the
// entry's text over the old end marker, the whole text without its end
// marker, the whole entry without the header that counts it.
TEST_F(FaultRun, ALogFileLeftAtAnyStepOfAnEntryIsTakenUpWhereItsHeaderSays) {
  start_service();
  ASSERT_EQ(inject(1, 1), 1);
  ASSERT_TRUE(wait_for_entry(1)) << service_output();
  const std::string one = log_text();
  ASSERT_EQ(inject(1, 2), 2);
  ASSERT_TRUE(wait_for_entry(2));
  kill_service();
  const std::string two = log_text();
  const auto at = static_cast<std::size_t>(read_log_header(one).offset);
  const auto next = static_cast<std::size_t>(read_log_header(two).offset);
  ASSERT_LT(at, next);

  std::uint32_t number = 3;
  for (const std::size_t cut : {at + 1, at + 100, (at + next) / 2, next - 4, next + 10, next + 18}) {
    SCOPED_TRACE("cut at " + std::to_string(cut) + " of an entry from " + std::to_string(at));
    std::string left = one.substr(0, 16) + two.substr(16, cut - 16);
    if (cut < one.size()) left += one.substr(cut);
    std::ofstream(log_path(), std::ios::binary | std::ios::trunc) << left;
    start_service();
    ASSERT_EQ(inject(1, 3), number);
    ASSERT_TRUE(wait_for_entry(number)) << service_output();
    kill_service();
    const std::string file = log_text();
    expect_consistent(file);
    EXPECT_EQ(file.compare(16, at - 16, one, 16, at - 16), 0);
    EXPECT_EQ(entry_starts(file, at, file.size()).front(), at);
    EXPECT_EQ(entry_numbers(file, 0, file.size()), (std::vector<std::uint32_t>{1, number}));
    EXPECT_EQ(read_log_header(file).count, 2);
    ++number;
  }
}

TEST_F(FaultRun, ADamagedOrTruncatedSystemLogIsReportedAndTheWatchGoesOn) {
  start_service();
  for (int i = 1; i <= 3; ++i) ASSERT_EQ(inject(1, i), i);
  ASSERT_TRUE(wait_for_entry(3)) << service_output();

  // Garbage over the whole file: said, nothing dispatched, the driver cannot
  // write to it either.
  write_system_log(std::string(300, '\xA5'));
  ASSERT_TRUE(eventually([&] { return reports_of("Unable to read eventlog.") >= 1; }, std::chrono::seconds(20)));
  EXPECT_EQ(inject(1, 4), -1);
  EXPECT_TRUE(service_running());

  // Emptied: a valid empty log again, whose numbers start at 1.
  write_system_log("");
  ASSERT_EQ(inject(2, 5), 1);
  ASSERT_EQ(inject(2, 6), 2);
  ASSERT_TRUE(eventually([&] { return read_log_header(log_text()).count == 5; }, std::chrono::seconds(30)))
      << service_output();

  // Cut in the middle of its last record.
  const int reports_before = reports_of("Unable to read eventlog.");
  const auto size = std::filesystem::file_size(sim::event_log_path("System"));
  write_system_log(std::string(size - 10, '\0'), true);
  ASSERT_TRUE(
      eventually([&] { return reports_of("Unable to read eventlog.") > reports_before; }, std::chrono::seconds(20)));
  EXPECT_TRUE(service_running());

  // Cleared by the administrator: followed from its new start.
  ASSERT_EQ(simhost({"eventlog", "clear", "System", "--next", "100"}).status, 0);
  ASSERT_EQ(inject(3, 7), 100);
  ASSERT_TRUE(wait_for_entry(100)) << service_output();
  const std::string file = log_text();
  EXPECT_EQ(entry_numbers(file, 0, file.size()), (std::vector<std::uint32_t>{1, 2, 3, 1, 2, 100}));
  expect_consistent(file, false);
  EXPECT_TRUE(service_running());
}

// An entry that cannot be written stays queued and is written with the next
// record once the file can be written again.
TEST_F(FaultRun, EntriesHeldUpByAReadOnlyLogFileOrARemovedLogDirectoryAreWrittenLater) {
  if (::geteuid() == 0 && ::access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "as root a read-only file needs setpriv to take the file capabilities away";
  }
  start_service(true);
  ASSERT_EQ(inject(1, 1), 1);
  ASSERT_TRUE(wait_for_entry(1)) << service_output();

  const std::string with_one = log_text();
  ASSERT_EQ(::chmod(log_path().c_str(), 0444), 0);
  ASSERT_EQ(inject(1, 2), 2);
  ASSERT_TRUE(eventually([&] { return reports_of(unopened_log_file) >= 1; }, std::chrono::seconds(20)))
      << service_output();
  EXPECT_EQ(log_text(), with_one);
  ASSERT_EQ(::chmod(log_path().c_str(), 0644), 0);
  ASSERT_EQ(inject(1, 3), 3);
  ASSERT_TRUE(wait_for_entry(3));
  std::string file = log_text();
  EXPECT_EQ(entry_numbers(file, 0, file.size()), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(read_log_header(file).count, 3);

  const int unopened = reports_of(unopened_log_file);
  std::filesystem::remove_all(log_dir());
  ASSERT_EQ(inject(1, 4), 4);
  ASSERT_TRUE(eventually([&] { return reports_of(unopened_log_file) > unopened; }, std::chrono::seconds(20)));
  EXPECT_FALSE(std::filesystem::exists(log_dir()));
  std::filesystem::create_directories(log_dir());
  ASSERT_EQ(inject(1, 5), 5);
  ASSERT_TRUE(wait_for_entry(5));
  file = log_text();
  EXPECT_EQ(entry_numbers(file, 0, file.size()), (std::vector<std::uint32_t>{4, 5}));
  expect_consistent(file);
  // Every slot went back to the driver with its entry.
  const std::string status = kvxsim({"status"}).out;
  EXPECT_NE(status.find("occupied slots: none"), std::string::npos) << status;
  EXPECT_TRUE(service_running());
}

TEST_F(FaultRun, TheDriverSimulatorKilledAndStartedAgainIsFoundAgain) {
  start_service(false, 300);
  ASSERT_EQ(inject(1, 1), 1);
  ASSERT_TRUE(wait_for_entry(1)) << service_output();

  kill_simulator();
  // Retry cycles against a device that has gone.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(service_running());

  start_simulator();
  ASSERT_EQ(inject(2, 2), 2);
  ASSERT_TRUE(wait_for_entry(2)) << service_output();
  // Detail data without a record is drained by the retry thread again.
  ASSERT_EQ(kvxsim({"fill", "--port", "2", "--slot", "7"}).status, 0);
  ASSERT_TRUE(eventually([&] { return log_text().find("---- KVXWDD LOG #------ ----") != std::string::npos; },
                         std::chrono::seconds(30)))
      << service_output();
  const std::string file = log_text();
  EXPECT_EQ(entry_numbers(file, 0, file.size()), (std::vector<std::uint32_t>{1, 2}));
  expect_consistent(file);
  EXPECT_TRUE(service_running());
}

}  // namespace
}  // namespace kvx::test
