// ReadEventLogA's semantics on the simulated host, as the watcher uses them:
// the size probe and exact read, sequential and seek reads both ways, the
// ends of the log, records beyond any fixed buffer, a log cleared under an
// open reader, damaged files, and the Application log's event sources.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "platform/event_log.h"
#include "platform/host.h"
#include "platform/sim/event_log_file.h"
#include "platform/win_codes.h"
#include "tests/eventlog/driver_text_records.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/file_bytes.h"

namespace {

namespace sim = kvx::sim;
namespace win = kvx::win;
using kvx::platform::event_log_reader;
using kvx::test::append_driver_text;

constexpr std::uint32_t seq_fwd = win::eventlog_sequential_read | win::eventlog_forwards_read;
constexpr std::uint32_t seq_back = win::eventlog_sequential_read | win::eventlog_backwards_read;  // 9
constexpr std::uint32_t seek_fwd = win::eventlog_seek_read | win::eventlog_forwards_read;
constexpr std::uint32_t seek_back = win::eventlog_seek_read | win::eventlog_backwards_read;  // 10

std::unique_ptr<event_log_reader> open_system() {
  auto r = kvx::platform::backend_event_logs().open_log("System");
  EXPECT_NE(r, nullptr);
  return r;
}

struct read_result {
  std::uint32_t rc = 0;
  std::uint32_t bytes_needed = 0;
  std::vector<sim::event_record> records;
};

// One ReadEventLogA call into a buffer of `size` bytes, split into records.
read_result read(event_log_reader& r, std::uint32_t flags, std::uint32_t number, std::uint32_t size) {
  std::vector<std::uint8_t> buffer(size);
  std::uint32_t got = 0;
  read_result out;
  out.rc = r.read(flags, number, buffer.data(), size, got, out.bytes_needed);
  EXPECT_LE(got, size);
  std::size_t at = 0;
  while (at < got) {
    sim::event_record rec;
    const std::uint32_t len = sim::parse_event_record(std::span(buffer.data() + at, got - at), rec);
    if (len == 0) {
      ADD_FAILURE() << "torn or malformed record at " << at;
      break;
    }
    out.records.push_back(rec);
    at += len;
  }
  return out;
}

std::string text_of(const sim::event_record& r) { return r.strings.empty() ? "" : r.strings[0]; }

TEST(LogReader, EmptyLogHasOldestZeroAndNothingToRead) {
  kvx::test::temp_host host;
  auto r = open_system();
  std::uint32_t oldest = 99, count = 99;
  ASSERT_TRUE(r->oldest_record_number(oldest));
  ASSERT_TRUE(r->number_of_records(count));
  EXPECT_EQ(oldest, 0u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(read(*r, seq_fwd, 0, 4096).rc, win::error_handle_eof);
  EXPECT_EQ(read(*r, seq_back, 0, 4096).rc, win::error_handle_eof);
  EXPECT_EQ(read(*r, seek_back, 1, 4096).rc, win::error_invalid_parameter);
  // Cleared keeping its numbers, an empty log still says 0.
  ASSERT_GE(append_driver_text("x"), 1);
  ASSERT_EQ(sim::clear_event_log("System", sim::clear_numbering::keep), 0);
  ASSERT_TRUE(r->oldest_record_number(oldest));
  EXPECT_EQ(oldest, 0u);
}

TEST(LogReader, SizeProbeThenExactSequentialReadGivesTheRecord) {
  kvx::test::temp_host host;
  ASSERT_EQ(append_driver_text("first"), 1);
  ASSERT_EQ(append_driver_text("second", 104), 2);
  ASSERT_EQ(append_driver_text("third"), 3);
  for (std::uint32_t n : {3u, 2u, 1u}) {
    auto r = open_system();
    std::uint8_t probe = 0;
    std::uint32_t got = 7, needed = 0;
    ASSERT_EQ(r->read(seek_back, n, &probe, 1, got, needed), win::error_insufficient_buffer);
    EXPECT_EQ(got, 0u);
    ASSERT_GE(needed, 64u);
    const read_result exact = read(*r, seq_back, 0, needed);
    ASSERT_EQ(exact.rc, win::error_success) << "record " << n;
    ASSERT_EQ(exact.records.size(), 1u);
    EXPECT_EQ(exact.records[0].record_number, n);
    EXPECT_EQ(exact.records[0].strings.size(), 1u);
    if (n == 2) {
      EXPECT_EQ(exact.records[0].data.size(), 104u);
    }
    // The handle moved on backwards.
    const read_result next = read(*r, seq_back, 0, 4096);
    if (n == 1) {
      EXPECT_EQ(next.rc, win::error_handle_eof);
    } else {
      ASSERT_EQ(next.rc, win::error_success);
      EXPECT_EQ(next.records.at(0).record_number, n - 1);
    }
  }
}

TEST(LogReader, SequentialReadsPackWholeRecordsAndFollowNewOnes) {
  kvx::test::temp_host host;
  for (const char* t : {"a", "b", "c"}) ASSERT_GE(append_driver_text(t), 1);
  auto r = open_system();
  read_result all = read(*r, seq_fwd, 0, 65536);
  ASSERT_EQ(all.rc, win::error_success);
  ASSERT_EQ(all.records.size(), 3u);
  EXPECT_EQ(text_of(all.records[0]), "a");
  EXPECT_EQ(text_of(all.records[2]), "c");
  EXPECT_EQ(read(*r, seq_fwd, 0, 65536).rc, win::error_handle_eof);
  ASSERT_EQ(append_driver_text("d"), 4);
  read_result more = read(*r, seq_fwd, 0, 65536);
  ASSERT_EQ(more.rc, win::error_success);
  ASSERT_EQ(more.records.size(), 1u);
  EXPECT_EQ(more.records[0].record_number, 4u);

  // A fresh handle reading backwards starts at the newest record.
  auto back = open_system();
  read_result newest = read(*back, seq_back, 0, 65536);
  ASSERT_EQ(newest.rc, win::error_success);
  ASSERT_EQ(newest.records.size(), 4u);
  EXPECT_EQ(newest.records[0].record_number, 4u);
  EXPECT_EQ(newest.records[3].record_number, 1u);
}

TEST(LogReader, ABufferTakesOnlyTheRecordsThatFitWhole) {
  kvx::test::temp_host host;
  for (const char* t : {"a", "b", "c"}) ASSERT_GE(append_driver_text(t), 1);
  auto r = open_system();
  const read_result one = read(*r, seek_fwd, 1, 65536);
  ASSERT_EQ(one.rc, win::error_success);
  ASSERT_EQ(one.records.size(), 3u);
  const std::uint32_t each = static_cast<std::uint32_t>(sim::encode_event_record(one.records[0]).size());
  auto r2 = open_system();
  const read_result two = read(*r2, seek_fwd, 1, 2 * each + each / 2);
  ASSERT_EQ(two.rc, win::error_success);
  ASSERT_EQ(two.records.size(), 2u);
  const read_result rest = read(*r2, seq_fwd, 0, each);
  ASSERT_EQ(rest.rc, win::error_success);
  ASSERT_EQ(rest.records.size(), 1u);
  EXPECT_EQ(rest.records[0].record_number, 3u);
}

// Records 1.. of the log, appended with their text "<tag><number>" and
// (number * `step`) % 97 data bytes; varied sizes, so that a walk that lost
// its step, or an offset that went stale, lands on the wrong record or on no
// record at all.
void fill(const std::string& tag, std::uint32_t from, std::uint32_t to, std::size_t step) {
  for (std::uint32_t n = from; n <= to; ++n) ASSERT_EQ(append_driver_text(tag + std::to_string(n), n * step % 97), n);
}

// Every record 1..`last` read by number, the watcher's way (a size probe,
// then the exact read) on a handle of its own, and into a buffer of several
// records both ways, is the record `fill` appended.
void expect_every_record(const std::string& tag, std::uint32_t last, std::size_t step) {
  auto r = open_system();
  for (std::uint32_t n = 1; n <= last; ++n) {
    auto own = open_system();
    std::uint32_t got = 0, needed = 0;
    ASSERT_EQ(own->read(seek_back, n, nullptr, 0, got, needed), win::error_insufficient_buffer) << n;
    const read_result exact = read(*own, seq_back, 0, needed);
    for (const read_result& each : {exact, read(*r, seek_fwd, n, 300), read(*r, seek_back, n, 300)}) {
      ASSERT_EQ(each.rc, win::error_success) << n;
      ASSERT_FALSE(each.records.empty());
      EXPECT_EQ(each.records[0].record_number, n);
      EXPECT_EQ(text_of(each.records[0]), tag + std::to_string(n));
      EXPECT_EQ(each.records[0].data.size(), n * step % 97);
    }
  }
}

using kvx::test::file_bytes;
using kvx::test::put_file;

TEST(LogReader, SeekFindsEveryRecordFromEitherEnd) {
  kvx::test::temp_host host;
  fill("r", 1, 41, 13);
  expect_every_record("r", 41, 13);
}

// The index beside the log is never taken at its word: whatever became of it,
// a record read by number is the one asked for, and the index is whole again
// for the reads after.
TEST(LogReader, AnIndexThatIsStaleShortOrDamagedStillGivesTheRightRecord) {
  kvx::test::temp_host host;
  const std::filesystem::path log = sim::event_log_path("System");
  const std::filesystem::path index = log.string() + ".idx";
  fill("r", 1, 30, 13);
  const std::vector<std::uint8_t> index_of_30 = file_bytes(index);
  ASSERT_GT(index_of_30.size(), 30u * 16) << "every append keeps the index";
  const std::vector<std::uint8_t> log_of_30 = file_bytes(log);

  // Records appended by a writer that did not keep the index.
  fill("r", 31, 45, 13);
  put_file(index, index_of_30);
  expect_every_record("r", 45, 13);
  // The repaired index takes the next appends again.
  fill("r", 46, 50, 13);
  EXPECT_EQ(file_bytes(index).size(), 32u + 50 * 16);
  expect_every_record("r", 50, 13);
  const std::vector<std::uint8_t> index_of_50 = file_bytes(index);

  // Cleared and refilled with records of other sizes; the old index put back.
  ASSERT_EQ(sim::clear_event_log("System", sim::clear_numbering::restart), 0);
  fill("n", 1, 40, 29);
  put_file(index, index_of_50);
  expect_every_record("n", 40, 29);

  // The log file made again from nothing: its generation and numbers are
  // those of the first log, whose index is put back; its offsets are not.
  std::filesystem::remove(log);
  fill("m", 1, 35, 7);
  put_file(index, index_of_30);
  expect_every_record("m", 35, 7);

  // The first log put back beside an index of a log of the same generation
  // and numbers whose offsets all point at records: the offsets swapped two
  // by two, each entry still naming its own number.
  put_file(log, log_of_30);
  std::vector<std::uint8_t> swapped = index_of_30;
  for (std::size_t e = 0; e + 1 < 30; e += 2) {
    for (std::size_t b = 0; b < 8; ++b) std::swap(swapped[32 + e * 16 + b], swapped[32 + (e + 1) * 16 + b]);
  }
  put_file(index, swapped);
  expect_every_record("r", 30, 13);

  // Cut short in the middle of an entry, and garbage throughout.
  put_file(index, std::vector<std::uint8_t>(index_of_30.begin(), index_of_30.begin() + 32 + 16 * 7 + 5));
  expect_every_record("r", 30, 13);
  std::vector<std::uint8_t> garbage(index_of_30.size());
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<std::uint8_t>(i * 131 + 7);
  put_file(index, garbage);
  expect_every_record("r", 30, 13);
}

TEST(LogReader, NumbersOutsideTheLogAndBadCallsAreInvalidParameters) {
  kvx::test::temp_host host;
  ASSERT_EQ(sim::clear_event_log("System", sim::clear_numbering::start_at, 10), 0);
  for (int i = 0; i < 3; ++i) ASSERT_GE(append_driver_text("x"), 10);
  auto r = open_system();
  for (std::uint32_t n : {0u, 9u, 1u, 13u, 0xFFFFFFFFu}) {
    EXPECT_EQ(read(*r, seek_back, n, 4096).rc, win::error_invalid_parameter) << n;
  }
  EXPECT_EQ(read(*r, seek_back, 12, 4096).rc, win::error_success);
  const std::uint32_t bad_flags[] = {win::eventlog_sequential_read | win::eventlog_seek_read | 4,
                                     win::eventlog_seek_read,
                                     win::eventlog_forwards_read | win::eventlog_backwards_read, seq_fwd | 0x10, 0};
  for (std::uint32_t f : bad_flags) EXPECT_EQ(read(*r, f, 11, 4096).rc, win::error_invalid_parameter) << f;
  std::uint32_t got = 0, needed = 0;
  EXPECT_EQ(r->read(seek_back, 11, nullptr, 100, got, needed), win::error_invalid_parameter);
  // A null buffer of size 0 is merely too small.
  EXPECT_EQ(r->read(seek_back, 11, nullptr, 0, got, needed), win::error_insufficient_buffer);
  EXPECT_GT(needed, 0u);
}

TEST(LogReader, WrappedNumbersAreFoundInTheirPlace) {
  kvx::test::temp_host host;
  ASSERT_EQ(sim::clear_event_log("System", sim::clear_numbering::start_at, 0xFFFFFFFE), 0);
  for (const char* t : {"a", "b", "c", "d"}) ASSERT_GE(append_driver_text(t), 1);
  auto r = open_system();
  std::uint32_t oldest = 0, count = 0;
  ASSERT_TRUE(r->oldest_record_number(oldest));
  ASSERT_TRUE(r->number_of_records(count));
  EXPECT_EQ(oldest, 0xFFFFFFFEu);
  EXPECT_EQ(count, 4u);
  const std::pair<std::uint32_t, const char*> expect[] = {{0xFFFFFFFE, "a"}, {0xFFFFFFFF, "b"}, {1, "c"}, {2, "d"}};
  for (const auto& [n, t] : expect) {
    const read_result got = read(*r, seek_back, n, 200);
    ASSERT_EQ(got.rc, win::error_success) << n;
    EXPECT_EQ(text_of(got.records.at(0)), t);
  }
  EXPECT_EQ(read(*r, seek_back, 3, 200).rc, win::error_invalid_parameter);
  EXPECT_EQ(read(*r, seek_back, 0xFFFFFFFD, 200).rc, win::error_invalid_parameter);
  EXPECT_EQ(read(*r, seek_back, 0, 200).rc, win::error_invalid_parameter);
}

TEST(LogReader, RecordLargerThanAnyFixedBufferIsReadWhole) {
  kvx::test::temp_host host;
  ASSERT_EQ(append_driver_text("big", 200 * 1024), 1);
  auto r = open_system();
  const read_result fixed = read(*r, seek_back, 1, 64 * 1024);
  ASSERT_EQ(fixed.rc, win::error_insufficient_buffer);
  EXPECT_GT(fixed.bytes_needed, 200u * 1024);
  const read_result exact = read(*r, seq_back, 0, fixed.bytes_needed);
  ASSERT_EQ(exact.rc, win::error_success);
  ASSERT_EQ(exact.records.size(), 1u);
  ASSERT_EQ(exact.records[0].data.size(), 200u * 1024);
  for (std::size_t i = 0; i < exact.records[0].data.size(); ++i) {
    ASSERT_EQ(exact.records[0].data[i], static_cast<std::uint8_t>(i ^ 3)) << i;
  }
}

TEST(LogReader, LogClearedUnderAnOpenReader) {
  kvx::test::temp_host host;
  for (const char* t : {"old1", "old2", "old3"}) ASSERT_GE(append_driver_text(t), 1);
  auto r = open_system();
  ASSERT_EQ(read(*r, seq_fwd, 0, 200).rc, win::error_success);  // positioned inside the old log

  ASSERT_EQ(sim::clear_event_log("System", sim::clear_numbering::restart), 0);
  ASSERT_EQ(append_driver_text("new1"), 1);
  ASSERT_EQ(append_driver_text("new2"), 2);
  // The stale position fails once, then the handle reads the new log.
  EXPECT_EQ(read(*r, seq_fwd, 0, 4096).rc, win::error_event_log_file_changed);
  const read_result fresh = read(*r, seq_fwd, 0, 4096);
  ASSERT_EQ(fresh.rc, win::error_success);
  ASSERT_EQ(fresh.records.size(), 2u);
  EXPECT_EQ(text_of(fresh.records[0]), "new1");
  std::uint32_t oldest = 0, count = 0;
  ASSERT_TRUE(r->oldest_record_number(oldest));
  ASSERT_TRUE(r->number_of_records(count));
  EXPECT_EQ(oldest, 1u);
  EXPECT_EQ(count, 2u);

  // The watcher's probe, a clear with numbers kept, then its exact read.
  std::uint8_t probe = 0;
  std::uint32_t got = 0, needed = 0;
  ASSERT_EQ(r->read(seek_back, 2, &probe, 1, got, needed), win::error_insufficient_buffer);
  ASSERT_EQ(sim::clear_event_log("System", sim::clear_numbering::keep), 0);
  ASSERT_EQ(append_driver_text("kept3"), 3);
  EXPECT_EQ(read(*r, seq_back, 0, needed).rc, win::error_event_log_file_changed);
  // A seek read needs no old position: it reads the new contents at once.
  const read_result seek = read(*r, seek_back, 3, 4096);
  ASSERT_EQ(seek.rc, win::error_success);
  EXPECT_EQ(text_of(seek.records.at(0)), "kept3");
  EXPECT_EQ(read(*r, seek_back, 2, 4096).rc, win::error_invalid_parameter);
}

TEST(LogReader, DamagedFileUnderAnOpenReaderFailsCleanly) {
  kvx::test::temp_host host;
  for (const char* t : {"a", "b", "c"}) ASSERT_GE(append_driver_text(t), 1);
  auto r = open_system();
  const std::filesystem::path path = sim::event_log_path("System");
  const std::vector<std::uint8_t> bytes = kvx::test::file_bytes(path);
  auto rewrite = [&](const std::vector<std::uint8_t>& b) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  };
  // Record 3's trailing Length spoilt: a walk from the end stops on it,
  // reading from the start still reaches records 1 and 2.
  std::vector<std::uint8_t> damaged = bytes;
  damaged[damaged.size() - 1] ^= 0x40;
  rewrite(damaged);
  EXPECT_EQ(read(*r, seek_back, 3, 4096).rc, win::error_event_log_file_corrupt);
  const read_result forwards = read(*r, seq_fwd, 0, 65536);
  ASSERT_EQ(forwards.rc, win::error_success);
  EXPECT_EQ(forwards.records.size(), 2u) << "whole records before the damage only";
  EXPECT_EQ(read(*r, seq_fwd, 0, 65536).rc, win::error_event_log_file_corrupt);

  // The header overwritten with garbage.
  damaged = bytes;
  for (std::size_t i = 0; i < 64; ++i) damaged[i] = static_cast<std::uint8_t>(0x3C + i);
  rewrite(damaged);
  std::uint32_t n = 0;
  EXPECT_FALSE(r->oldest_record_number(n));
  EXPECT_FALSE(r->number_of_records(n));
  EXPECT_EQ(read(*r, seek_back, 1, 4096).rc, win::error_event_log_file_corrupt);

  // Truncated in the middle of the last record.
  rewrite(bytes);
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(bytes.size() - 10)), 0);
  EXPECT_FALSE(r->number_of_records(n));
  EXPECT_EQ(read(*r, seq_back, 0, 4096).rc, win::error_event_log_file_corrupt);
}

TEST(EventSource, ReportGoesToTheApplicationLogWithoutUser) {
  kvx::test::temp_host host;
  auto& logs = kvx::platform::backend_event_logs();
  EXPECT_EQ(logs.open_log("Security"), nullptr);
  EXPECT_EQ(logs.register_source(""), nullptr);
  EXPECT_EQ(logs.register_source(nullptr), nullptr);
  auto source = logs.register_source("Hbalogd");
  ASSERT_NE(source, nullptr);
  const std::uint8_t data[] = {1, 2, 3};
  ASSERT_TRUE(source->report(win::eventlog_warning_type, 0, 0xC0000001, {"Unable to open eventlog."}, {}));
  ASSERT_TRUE(source->report(win::eventlog_error_type, 7, 0xC0000001, {"a", "b"}, data));
  EXPECT_FALSE(source->report(1, 0, 1, {std::string("a\0b", 3)}, {})) << "not representable";

  auto app = logs.open_log("Application");
  ASSERT_NE(app, nullptr);
  std::vector<std::uint8_t> buffer(4096);
  std::uint32_t got = 0, needed = 0;
  ASSERT_EQ(app->read(seq_fwd, 0, buffer.data(), 4096, got, needed), win::error_success);
  sim::event_record first;
  ASSERT_GT(sim::parse_event_record(std::span(buffer.data(), got), first), 0u);
  EXPECT_EQ(first.source_name, "Hbalogd");
  EXPECT_EQ(first.event_type, win::eventlog_warning_type);
  EXPECT_EQ(first.event_category, 0u);
  EXPECT_EQ(first.event_id, 0xC0000001u);
  EXPECT_EQ(first.strings, std::vector<std::string>{"Unable to open eventlog."});
  EXPECT_TRUE(first.data.empty());
  const std::uint32_t sid_length = buffer[40] | buffer[41] << 8 | buffer[42] << 16 | buffer[43] << 24;
  EXPECT_EQ(sid_length, 0u);
  std::vector<sim::event_record> all;
  ASSERT_EQ(sim::read_event_log("Application", all), 0);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].event_category, 7u);
  EXPECT_EQ(all[1].data, std::vector<std::uint8_t>({1, 2, 3}));
  EXPECT_EQ(all[1].strings, (std::vector<std::string>{"a", "b"}));
  std::vector<sim::event_record> system;
  ASSERT_EQ(sim::read_event_log("System", system), 0);
  EXPECT_TRUE(system.empty());
}

TEST(EventSource, HostAccessorFallsBackToTheSimulatedLogs) {
  EXPECT_EQ(&kvx::platform::host_event_logs(), &kvx::platform::backend_event_logs());
}

}  // namespace
