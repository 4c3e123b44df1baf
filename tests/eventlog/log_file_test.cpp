// The log files of the simulated host: numbering through appends and clears
// (both ways and from a given number up to the wrap after 4294967295), the
// display read, and damaged files.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/sim/event_log_file.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/file_bytes.h"

namespace {

namespace sim = kvx::sim;

std::int64_t append(const char* log, const char* text, std::vector<std::uint8_t> data = {}) {
  return sim::append_event_record(log, "tester", 0x40000001, 4, 0, 1700000000, {text}, data);
}

sim::event_log_state state_of(const char* log) {
  sim::event_log_state s;
  EXPECT_EQ(sim::read_event_log_state(log, s), 0);
  return s;
}

using kvx::test::file_bytes;
using kvx::test::put_file;

TEST(LogNames, OnlySystemAndApplicationInAnyCase) {
  kvx::test::temp_host host;
  EXPECT_EQ(sim::canonical_log_name("system"), "System");
  EXPECT_EQ(sim::canonical_log_name("APPLICATION"), "Application");
  EXPECT_EQ(sim::canonical_log_name("Security"), "");
  EXPECT_EQ(sim::canonical_log_name("../System"), "");
  EXPECT_EQ(sim::event_log_path("sYsTeM"), host.root() / "eventlog" / "System.evt");
  EXPECT_TRUE(sim::event_log_path("Security").empty());
  EXPECT_EQ(append("Security", "x"), -1);
  EXPECT_EQ(sim::clear_event_log("Security", sim::clear_numbering::restart), 1);
}

TEST(LogFile, AppendNumbersFromOneAndKeepsBothLogsApart) {
  kvx::test::temp_host host;
  const sim::event_log_state empty = state_of("System");
  EXPECT_EQ(empty.record_count, 0u);
  EXPECT_EQ(empty.next_number, 1u);
  EXPECT_EQ(append("System", "one"), 1);
  EXPECT_EQ(append("System", "two"), 2);
  EXPECT_EQ(append("Application", "app"), 1);
  EXPECT_EQ(append("system", "three"), 3);
  const sim::event_log_state s = state_of("System");
  EXPECT_EQ(s.oldest_number, 1u);
  EXPECT_EQ(s.record_count, 3u);
  EXPECT_EQ(s.next_number, 4u);
  std::vector<sim::event_record> records;
  ASSERT_EQ(sim::read_event_log("System", records), 0);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[2].record_number, 3u);
  EXPECT_EQ(records[2].strings, std::vector<std::string>{"three"});
  EXPECT_EQ(records[0].source_name, "tester");
  EXPECT_EQ(records[0].time_generated, 1700000000u);
  EXPECT_NE(records[0].time_written, 0u);
  EXPECT_EQ(records[0].computer_name, sim::event_computer_name());
  ASSERT_EQ(sim::read_event_log("Application", records), 0);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].strings, std::vector<std::string>{"app"});
}

TEST(LogFile, ComputerNameCanBeFixedForRepeatableOutput) {
  kvx::test::temp_host host;
  ::setenv("KVX_COMPUTER_NAME", "TESTBOX", 1);
  EXPECT_EQ(sim::event_computer_name(), "TESTBOX");
  ASSERT_EQ(append("System", "x"), 1);
  ::unsetenv("KVX_COMPUTER_NAME");
  std::vector<sim::event_record> records;
  ASSERT_EQ(sim::read_event_log("System", records), 0);
  EXPECT_EQ(records.at(0).computer_name, "TESTBOX");
  EXPECT_FALSE(sim::event_computer_name().empty());
}

TEST(LogFile, ClearRestartsOrKeepsCountingOrStartsAtAGivenNumber) {
  kvx::test::temp_host host;
  for (int i = 0; i < 5; ++i) ASSERT_GE(append("System", "r"), 1);
  const std::uint32_t generation = state_of("System").generation;

  ASSERT_EQ(sim::clear_event_log("System", sim::clear_numbering::keep), 0);
  sim::event_log_state s = state_of("System");
  EXPECT_EQ(s.record_count, 0u);
  EXPECT_EQ(s.next_number, 6u);
  EXPECT_NE(s.generation, generation);
  EXPECT_EQ(append("System", "after keep"), 6);
  EXPECT_EQ(state_of("System").oldest_number, 6u);

  ASSERT_EQ(sim::clear_event_log("System", sim::clear_numbering::restart), 0);
  EXPECT_EQ(state_of("System").next_number, 1u);
  EXPECT_EQ(append("System", "after restart"), 1);

  ASSERT_EQ(sim::clear_event_log("System", sim::clear_numbering::start_at, 501), 0);
  EXPECT_EQ(append("System", "after start"), 501);
  EXPECT_EQ(sim::clear_event_log("System", sim::clear_numbering::start_at, 0), 1) << "0 is never a record number";
  EXPECT_EQ(state_of("System").record_count, 1u) << "a refused clear changes nothing";
  std::vector<sim::event_record> records;
  ASSERT_EQ(sim::read_event_log("System", records), 0);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].record_number, 501u);
}

TEST(LogFile, NumbersWrapFromTheTopOfTheRangeToOne) {
  kvx::test::temp_host host;
  ASSERT_EQ(sim::clear_event_log("System", sim::clear_numbering::start_at, 0xFFFFFFFE), 0);
  EXPECT_EQ(append("System", "a"), 0xFFFFFFFEll);
  EXPECT_EQ(append("System", "b"), 0xFFFFFFFFll);
  EXPECT_EQ(append("System", "c"), 1) << "0 is skipped";
  EXPECT_EQ(append("System", "d"), 2);
  const sim::event_log_state s = state_of("System");
  EXPECT_EQ(s.oldest_number, 0xFFFFFFFEu);
  EXPECT_EQ(s.record_count, 4u);
  EXPECT_EQ(s.next_number, 3u);
  std::vector<sim::event_record> records;
  ASSERT_EQ(sim::read_event_log("System", records), 0);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[1].record_number, 0xFFFFFFFFu);
  EXPECT_EQ(records[2].record_number, 1u);
  EXPECT_EQ(sim::next_record_number(0xFFFFFFFF), 1u);
  // Keeping the count goes on after the wrap.
  ASSERT_EQ(sim::clear_event_log("System", sim::clear_numbering::keep), 0);
  EXPECT_EQ(append("System", "e"), 3);
}

TEST(LogFile, LargeRecordsKeepEveryByte) {
  kvx::test::temp_host host;
  std::vector<std::uint8_t> data(200 * 1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
  ASSERT_EQ(append("System", "big", data), 1);
  ASSERT_EQ(append("System", "small"), 2);
  std::vector<sim::event_record> records;
  ASSERT_EQ(sim::read_event_log("System", records), 0);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].data, data);
  std::vector<std::uint8_t> too_big(sim::eventlog_max_record_size);
  EXPECT_EQ(append("System", "too big", too_big), -1);
  EXPECT_EQ(state_of("System").record_count, 2u);
}

TEST(LogFile, DamagedFilesFailCleanlyAndNothingIsAppendedToThem) {
  kvx::test::temp_host host;
  for (int i = 0; i < 3; ++i) ASSERT_GE(append("System", "record"), 1);
  const std::filesystem::path path = sim::event_log_path("System");
  const std::vector<std::uint8_t> good = file_bytes(path);
  ASSERT_GT(good.size(), 64u);

  // Cut at every length: the header's end offset no longer fits the file, or
  // the header itself is short.
  for (std::size_t n = 1; n < good.size(); n += 7) {
    put_file(path, std::vector<std::uint8_t>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)));
    sim::event_log_state s;
    std::vector<sim::event_record> records;
    EXPECT_EQ(sim::read_event_log_state("System", s), 1) << "cut at " << n;
    EXPECT_EQ(sim::read_event_log("System", records), 1) << "cut at " << n;
    EXPECT_EQ(append("System", "more"), -1) << "cut at " << n;
  }

  // A damaged record in the middle: the records before it are still shown.
  std::vector<std::uint8_t> damaged = good;
  const std::size_t second = 64 + (damaged[64] | damaged[65] << 8);
  damaged[second + 4] ^= 0xFF;  // its "LfLe"
  put_file(path, damaged);
  std::vector<sim::event_record> records;
  EXPECT_EQ(sim::read_event_log("System", records), 1);
  EXPECT_EQ(records.size(), 1u);

  // Garbage in place of the header.
  std::vector<std::uint8_t> garbage(good.size(), 0xA5);
  put_file(path, garbage);
  sim::event_log_state s;
  EXPECT_EQ(sim::read_event_log_state("System", s), 1);
  EXPECT_EQ(append("System", "more"), -1);
  EXPECT_EQ(file_bytes(path), garbage) << "a refused append leaves the file alone";

  // Its numbers being unknown, a corrupt log cannot be cleared keeping them;
  // a restarting clear repairs it.
  EXPECT_EQ(sim::clear_event_log("System", sim::clear_numbering::keep), 1);
  ASSERT_EQ(sim::clear_event_log("System", sim::clear_numbering::restart), 0);
  EXPECT_EQ(append("System", "fresh"), 1);
}

TEST(LogFile, LeftoversOfAnInterruptedAppendAreIgnoredAndOverwritten) {
  kvx::test::temp_host host;
  ASSERT_EQ(append("System", "one"), 1);
  const std::filesystem::path path = sim::event_log_path("System");
  std::vector<std::uint8_t> bytes = file_bytes(path);
  const std::size_t committed = bytes.size();
  bytes.resize(committed + 100, 0x5A);  // a record written whose header was not
  put_file(path, bytes);
  std::vector<sim::event_record> records;
  ASSERT_EQ(sim::read_event_log("System", records), 0);
  EXPECT_EQ(records.size(), 1u);
  ASSERT_EQ(append("System", "two"), 2);
  ASSERT_EQ(sim::read_event_log("System", records), 0);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].strings, std::vector<std::string>{"two"});
  const std::vector<std::uint8_t> after = file_bytes(path);
  std::uint64_t end_offset = 0;
  for (int i = 7; i >= 0; --i) end_offset = end_offset << 8 | after.at(32 + static_cast<std::size_t>(i));
  EXPECT_EQ(after.size(), end_offset) << "the leftovers are cut off";
}

}  // namespace
