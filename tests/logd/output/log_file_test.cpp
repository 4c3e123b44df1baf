// The log file: its name, header, wrap, and the limits of the header's width.
#include "logd/output/log_file.h"

#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "logd/capture/capture_hooks.h"
#include "logd/output/log_entry.h"
#include "tests/logd/output/output_fixture.h"
#include "tests/support/capture_seams.h"

namespace kvx::test {
namespace {

constexpr std::uint16_t location = 0x0208;
constexpr std::uint32_t key = 0x05030208;  // error 5, slot 3, bus 2, device 1, function 0

class LogFiles : public output_test {
 protected:
  void SetUp() override {
    output_test::SetUp();
    entry_ = add_adapter(2, location);
  }
  int write_one(std::uint32_t number) {
    const auto record = make_driver_record(number, 1700000000, driver_data(key));
    const auto reply = make_reply({{3, {0xAA, 0xBB}}});
    return logd::write_log_entry(record, &reply);
  }
  void write_header(const std::string& text, std::size_t pad_to = 0) {
    std::ofstream out(log_file(location), std::ios::binary | std::ios::trunc);
    out << text;
    if (pad_to > text.size()) out << std::string(pad_to - text.size(), '.');
  }
  std::string contents() { return file_text(log_file(location)); }
  /// The first steps of an entry: the file opened (or made) and its header loaded.
  void open_and_load() {
    platform::unique_file file = logd::open_log_file_for_entry(key);
    ASSERT_TRUE(file);
    logd::load_log_header(file.get(), entry_);
  }

  logd::interface_entry* entry_ = nullptr;
};

TEST_F(LogFiles, ThePathIsTheSameWithAndWithoutATrailingBackslash) {
  std::string without;
  ASSERT_EQ(logd::log_file_path(key, without), 0);
  EXPECT_EQ(without, "C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\log\\kvx0208.log");
  logd::set_error_log_file_path(std::string("C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\log\\"));
  std::string with;
  ASSERT_EQ(logd::log_file_path(key, with), 0);
  EXPECT_EQ(with, without);
  ASSERT_EQ(write_one(1), 0);
  EXPECT_TRUE(std::filesystem::exists(log_file(location)));
}

TEST_F(LogFiles, AFirstEntryCreatesTheFileAndLeavesTheHeaderAtItsMarker) {
  open_and_load();
  EXPECT_EQ(contents(), "   0        16\r\n");
  ASSERT_EQ(write_one(1), 0);
  const std::string file = contents();
  ASSERT_GE(file.size(), 34u);
  EXPECT_EQ(file.substr(16, 17), "---- KVXWDD LOG #");
  const std::size_t marker = file.rfind("--- end of log ---");
  ASSERT_NE(marker, std::string::npos);
  EXPECT_EQ(marker + 18, file.size());
  EXPECT_EQ(file.substr(0, 16), logd::format_log_header(1, static_cast<std::int32_t>(marker)));
  EXPECT_EQ(logd::get_log_write_offset(entry_), static_cast<std::int32_t>(marker));
  EXPECT_EQ(logd::get_log_record_count(entry_), 1);
}

/// A header on disk as a damaged or foreign file may leave it, and what it
/// reads as.
struct header_read_row {
  std::string name;
  std::string header;
  std::int32_t count = 0;
  std::int32_t offset = 0;
};

class LogHeaderRead : public LogFiles, public ::testing::WithParamInterface<header_read_row> {};
// A row shows as its name, in the case's name and in a failure.
void PrintTo(const header_read_row& row, std::ostream* os) { *os << row.name; }

TEST_P(LogHeaderRead, CountAndOffsetAreTheHeadersOrTheDefaults) {
  const header_read_row& row = GetParam();
  write_header(row.header, 64);
  open_and_load();
  EXPECT_EQ(logd::get_log_record_count(entry_), row.count);
  EXPECT_EQ(logd::get_log_write_offset(entry_), row.offset);
}

const std::vector<header_read_row> header_read_rows = {
    {"Unreadable", "garbage header\r\n", 0, 16},
    // Half readable: the second number keeps its default.
    {"CountWithoutOffset", "  33 xx\r\n", 33, 16},
    // An offset inside the header itself would destroy it: the entry goes behind it.
    {"OffsetInsideTheHeader", "  -4         3\r\n", 0, 16},
};

INSTANTIATE_TEST_SUITE_P(Headers, LogHeaderRead, ::testing::ValuesIn(header_read_rows),
                         [](const auto& instance) { return instance.param.name; });

/// A header on disk, the entry written next, and where that entry goes: at
/// `entry_at`, with the header counting `count` after it.
struct next_entry_row {
  std::string name;
  /// std::nullopt: the shipped default.
  std::optional<std::int32_t> max_record_count = std::nullopt;
  std::string header = {};
  /// The file is padded with dots to this size behind the header.
  std::size_t pad_to = 0;
  std::uint32_t number = 1;
  std::size_t entry_at = 16;
  std::string count = {};
};

class LogNextEntry : public LogFiles, public ::testing::WithParamInterface<next_entry_row> {};
// A row shows as its name, in the case's name and in a failure.
void PrintTo(const next_entry_row& row, std::ostream* os) { *os << row.name; }

TEST_P(LogNextEntry, GoesWhereTheHeaderSaysWithinTheHeadersWidth) {
  const next_entry_row& row = GetParam();
  if (row.max_record_count) logd::set_max_record_count(*row.max_record_count);
  write_header(row.header, row.pad_to);
  ASSERT_EQ(write_one(row.number), 0);
  const std::string file = contents();
  EXPECT_EQ(file.substr(row.entry_at, 20), "---- KVXWDD LOG #" + std::to_string(row.number) + " -");
  // The count never widens the header, whatever the numbers it was given.
  EXPECT_EQ(file.substr(0, 4), row.count);
  EXPECT_EQ(file.substr(4, 1), " ");
  EXPECT_EQ(file.substr(14, 2), "\r\n");
  EXPECT_EQ(logd::get_log_record_count(entry_), std::stoi(row.count));
  // What stood between the header and the entry is left as it was.
  if (row.pad_to > row.entry_at) {
    EXPECT_EQ(file.substr(16, row.entry_at - 16), std::string(row.entry_at - 16, '.'));
  }
  EXPECT_LT(file.size(), 100000u) << "nothing is written near an offset the entry does not go to";
}

const std::vector<next_entry_row> next_entry_rows = {
    {"At12And5000", std::nullopt, "  12      5000\r\n", 6000, 7, 5000, "  13"},
    // A file that never wraps stops counting at 9999 ...
    {"At9999WithoutWrap", 0, "9999        16\r\n", 0, 1, 16, "9999"},
    // ... and one configured for more than 9999 entries wraps at 9999.
    {"At9999WithMoreAllowed", 20000, "9999        16\r\n", 0, 2, 16, "   1"},
    // A damaged header with the largest numbers there are: counted on without
    // overflow, and the offset past what the header shows starts the ring again.
    {"WithTheLargestCount", 0, "2147483647 200\r\n", 0, 3, 200, "9999"},
    {"WithTheLargestOffset", 0, "   7 2147483647\r\n", 0, 4, 16, "   1"},
    // An entry that would carry the offset past 999999999 starts the ring again.
    {"NearTheLargestOffsetShown", std::nullopt, "   5 999999000\r\n", 0, 9, 16, "   1"},
};

INSTANTIATE_TEST_SUITE_P(Headers, LogNextEntry, ::testing::ValuesIn(next_entry_rows),
                         [](const auto& instance) { return instance.param.name; });

TEST_F(LogFiles, WithMaxRecordCount2TheThirdEntryWrapsBehindTheHeader) {
  logd::set_max_record_count(2);
  ASSERT_EQ(write_one(1), 0);
  ASSERT_EQ(write_one(2), 0);
  const std::string before = contents();
  const std::size_t old_marker = before.rfind("--- end of log ---");
  ASSERT_EQ(old_marker + 18, before.size());
  ASSERT_EQ(write_one(3), 0);
  const std::string after = contents();
  EXPECT_EQ(after.size(), before.size()) << "the file is never truncated";
  EXPECT_EQ(after.substr(old_marker, 18), std::string(18, ' '));
  EXPECT_EQ(after.substr(16, 20), "---- KVXWDD LOG #3 -");
  const std::size_t new_marker = after.find("--- end of log ---");
  ASSERT_NE(new_marker, std::string::npos);
  EXPECT_LT(new_marker, old_marker);
  EXPECT_EQ(after.substr(0, 16), logd::format_log_header(1, static_cast<std::int32_t>(new_marker)));
  // The new marker stands exactly over the second entry's "---- KVXWDD LOG #2"
  // (the entries are of one length); the rest of that entry follows it.
  EXPECT_EQ(after.substr(new_marker + 18, 7), " ----\r\n");
}

// The order that keeps a crash from losing a slot's data: the entry, then the
// header that counts it, then one flush of both, and only then the release;
// a wrap takes the old ring out of the header before the entry overwrites it.
TEST_F(LogFiles, ASlotGoesBackOnlyOnceItsEntryAndTheHeaderCountingItAreFlushed) {
  using logd::capture_step;
  logd::set_max_record_count(2);
  std::mutex lock;
  std::vector<capture_step> steps;
  std::vector<std::string> header_at_write;
  logd::capture_seams seams;
  seams.step_taken = [&](capture_step step) {
    std::lock_guard<std::mutex> guard(lock);
    steps.push_back(step);
    if (step == capture_step::entry_written) header_at_write.push_back(contents().substr(0, 16));
  };
  logd::set_capture_seams(seams);
  struct at_release {
    std::vector<capture_step> steps;
    std::string file;
  };
  std::vector<at_release> releases;
  driver_.with_adapter(2, [&](fake_adapter& a) {
    a.on_release = [&](int) {
      std::lock_guard<std::mutex> guard(lock);
      releases.push_back({std::exchange(steps, {}), contents()});
    };
  });
  for (std::uint32_t n = 1; n <= 3; ++n) ASSERT_EQ(write_one(n), 0);
  driver_.with_adapter(2, [](fake_adapter& a) { a.release_fails = true; });
  ASSERT_EQ(write_one(4), 0);
  logd::set_capture_seams({});

  ASSERT_EQ(releases.size(), 4u);
  // Each release comes right after the flush; what the one before it left
  // (its own release) is all that stands ahead of the entry's steps.
  using steps_t = std::vector<capture_step>;
  const steps_t written = {capture_step::entry_written, capture_step::header_stored, capture_step::file_flushed};
  const steps_t expected[] = {
      written,
      {capture_step::slot_released, capture_step::entry_written, capture_step::header_stored,
       capture_step::file_flushed},
      {capture_step::slot_released, capture_step::wrap_started, capture_step::entry_written,
       capture_step::header_stored, capture_step::file_flushed},
      {capture_step::slot_released, capture_step::entry_written, capture_step::header_stored,
       capture_step::file_flushed},
  };
  const int counts[] = {1, 2, 1, 2};
  for (std::size_t i = 0; i < releases.size(); ++i) {
    SCOPED_TRACE("entry " + std::to_string(i + 1));
    EXPECT_EQ(releases[i].steps, expected[i]);
    // On disk at the release: the entry, and the header that counts it.
    const std::string& file = releases[i].file;
    const std::size_t marker = file.find("--- end of log ---", 16);
    ASSERT_NE(marker, std::string::npos);
    EXPECT_EQ(file.substr(0, 16), logd::format_log_header(counts[i], static_cast<std::int32_t>(marker)));
    EXPECT_LT(file.find("LOG #" + std::to_string(i + 1) + " "), marker);
  }
  // The third entry wrapped: while it was written, the header counted nothing.
  ASSERT_EQ(header_at_write.size(), 4u);
  EXPECT_EQ(header_at_write[2], logd::format_log_header(0, 16));
  // A refused slot: the FELM tail and the header that ends at it, flushed too.
  EXPECT_EQ(steps, (std::vector<capture_step>{capture_step::slot_released, capture_step::header_stored,
                                              capture_step::file_flushed}));
  const std::string file = contents();
  const std::size_t marker = file.find("--- end of log ---", 16);
  EXPECT_EQ(file.substr(0, 16), logd::format_log_header(2, static_cast<std::int32_t>(marker)));
  EXPECT_EQ(file.substr(marker - 36, 36), "OPTION DATA:        FELM03\r\n\r\n\r\n\r\n\r\n");
}

TEST_F(LogFiles, MaxRecordCount0OnlyGrowsAndNegativeWrapsBeforeEveryEntry) {
  logd::set_max_record_count(0);
  for (std::uint32_t n = 1; n <= 3; ++n) ASSERT_EQ(write_one(n), 0);
  std::string file = contents();
  EXPECT_EQ(file.substr(0, 4), "   3");
  EXPECT_NE(file.find("LOG #1 "), std::string::npos);
  EXPECT_NE(file.find("LOG #3 "), std::string::npos);

  logd::set_max_record_count(-1);
  ASSERT_EQ(write_one(4), 0);
  ASSERT_EQ(write_one(5), 0);
  file = contents();
  EXPECT_EQ(file.substr(16, 20), "---- KVXWDD LOG #5 -");
  EXPECT_EQ(file.substr(0, 4), "   1");
}

TEST(LogHeader, Formats16BytesAndHoldsEachNumberToItsField) {
  EXPECT_EQ(logd::format_log_header(0, 16), "   0        16\r\n");
  EXPECT_EQ(logd::format_log_header(12, 5000), "  12      5000\r\n");
  EXPECT_EQ(logd::format_log_header(123456, 2000000000), "9999 999999999\r\n");
  EXPECT_EQ(logd::format_log_header(-7, -7), "   0        16\r\n");
  EXPECT_FALSE(logd::log_file_due_to_wrap(100000, 0));
  EXPECT_TRUE(logd::log_file_due_to_wrap(0, -1));
  EXPECT_TRUE(logd::log_file_due_to_wrap(4096, 4096));
  EXPECT_FALSE(logd::log_file_due_to_wrap(4095, 4096));
  EXPECT_TRUE(logd::log_file_due_to_wrap(9999, 50000));
}

TEST_F(LogFiles, AMissingLogDirectoryGivesOneReportPerEntryAndNoFile) {
  std::filesystem::remove_all(log_dir());
  EXPECT_EQ(write_one(1), 1);
  EXPECT_EQ(write_one(2), 1);
  const std::string message = "Unable to open file C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\log\\kvx0208.log";
  EXPECT_EQ(reports_.count(message), 2);
  EXPECT_EQ(reports_.reports().size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(log_dir()));
  // The slot was not handed back: its data is still there for a later entry.
  EXPECT_TRUE(driver_.snapshot(2).released.empty());
}

TEST_F(LogFiles, AFileThatCannotTakeTheEntryIsReportedAndKeepsTheSlot) {
  // Opens, reads zeros and seeks like a file, and refuses every write.
  std::filesystem::create_symlink("/dev/full", log_file(location));
  EXPECT_EQ(write_one(1), 1);
  EXPECT_EQ(reports_.count("Unable to write file C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\log\\kvx0208.log"),
            1);
  EXPECT_EQ(reports_.reports().size(), 1u);
  EXPECT_TRUE(driver_.snapshot(2).released.empty());
}

TEST_F(LogFiles, ADirectoryTooLongForThePathBufferIsRefusedAndReported) {
  const std::string long_dir = "C:\\" + std::string(250, 'd');
  logd::set_error_log_file_path(long_dir);
  std::string path;
  EXPECT_EQ(logd::log_file_path(key, path), 1);
  EXPECT_EQ(write_one(1), 1);
  const auto events = reports_.reports();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text().rfind("Unable to open file C:\\ddd", 0), 0u);
  EXPECT_FALSE(std::filesystem::exists(host_.root() / "drive_c" / std::string(250, 'd')));
}

TEST_F(LogFiles, AFileDeletedBetweenEntriesIsMadeAgainWithAFreshHeader) {
  ASSERT_EQ(write_one(1), 0);
  ASSERT_EQ(write_one(2), 0);
  std::filesystem::remove(log_file(location));
  ASSERT_EQ(write_one(3), 0);
  const std::string file = contents();
  EXPECT_EQ(file.substr(0, 4), "   1");
  EXPECT_EQ(file.substr(16, 20), "---- KVXWDD LOG #3 -");
  EXPECT_EQ(file.find("LOG #2 "), std::string::npos);
}

TEST_F(LogFiles, AKeyThatNamesNoAdapterWritesNothing) {
  const std::uint32_t other = 0x05030310;
  const auto record = make_driver_record(1, 1700000000, driver_data(other));
  EXPECT_EQ(logd::write_log_entry(record, nullptr), 1);
  // The file exists with its fresh header (the header is read before the table).
  EXPECT_EQ(file_text(log_file(0x0310)), "   0        16\r\n");
}

}  // namespace
}  // namespace kvx::test
