// Entries for one adapter from several threads at once never interleave.
#include <regex>
#include <thread>

#include "logd/driver_record.h"
#include "logd/output/log_entry.h"
#include "logd/output/log_file.h"
#include "tests/logd/output/output_fixture.h"

namespace kvx::test {
namespace {

constexpr std::uint16_t location = 0x0208;
constexpr std::uint32_t key = 0x05030208;
constexpr int per_thread = 25;

// One whole entry as written with 16-byte dumps; group 1 is the record number.
const std::regex whole_entry(
    "---- KVXWDD LOG #(\\d+) ----\r\n\r\n"
    "EVENT LOG DATE/TIME:\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\r\n\r\n"
    "EVENT LOG DUMP:\r\n"
    "---          HEX DUMP \\(EVENT LOG DUMP:SIZE=0x0010\\)         ---\r\n"
    "              :  0 1 2 3  4 5 6 7  8 9 A B  C D E F\r\n"
    "--------------:------------------------------------\r\n"
    "0x0000\\(00000\\) : 00010203 04050607 08090a0b 0c0d0e0f\r\n\r\n\r\n"
    "ERROR NAME:         UNKNOWN\r\nLEVEL:              UNKNOWN\r\n\r\n"
    "BUS NUMBER:         2\r\nDEVICE NUMBER:      1\r\nFUNCTION NUMBER:    0\r\n\r\n"
    "DRIVER VERSION:     2.1.4\r\nFIRMWARE VERSION:   10.02\r\nADAPTER WWN:        1122334455667788\r\n"
    "OPTION DATA:        \\d{8} \\d{6} \\d{3}\r\n\r\n"
    "DETAIL DATA:\r\n"
    "---          HEX DUMP \\(ERRLOG:SIZE=0x0010\\)         ---\r\n"
    "              :  0 1 2 3  4 5 6 7  8 9 A B  C D E F\r\n"
    "--------------:------------------------------------\r\n"
    "0x0000\\(00000\\) : abababab abababab abababab abababab\r\n\r\n\r\n\r\n\r\n");

class LogEntryConcurrency : public output_test {};

TEST_F(LogEntryConcurrency, TwoWritersForOneAdapterNeverInterleaveTheirEntries) {
  logd::set_max_record_count(0);
  logd::set_dump_data_size(16);
  logd::set_error_log_size(16);
  add_adapter(2, location);
  const std::vector<std::uint8_t> data = driver_data(key);
  auto writer = [&](std::uint32_t first, int& failures) {
    const auto reply = make_reply({{3, std::vector<std::uint8_t>(16, 0xab)}});
    for (int i = 0; i < per_thread; ++i) {
      const auto record = make_driver_record(first + static_cast<std::uint32_t>(i), 1700000000, data);
      if (logd::write_log_entry(record, &reply) != 0) ++failures;
    }
  };
  int failures_a = 0;
  int failures_b = 0;
  std::thread a(writer, 1000u, std::ref(failures_a));
  std::thread b(writer, 2000u, std::ref(failures_b));
  a.join();
  b.join();
  EXPECT_EQ(failures_a, 0);
  EXPECT_EQ(failures_b, 0);

  const std::string file = file_text(log_file(location));
  EXPECT_EQ(file.substr(0, 16), logd::format_log_header(2 * per_thread, static_cast<std::int32_t>(file.size() - 18)));
  ASSERT_EQ(file.substr(file.size() - 18), "--- end of log ---");
  std::vector<int> seen;
  std::size_t at = 16;
  while (at < file.size() - 18) {
    const std::size_t next = file.find("---- KVXWDD LOG #", at + 1);
    const std::size_t end = next == std::string::npos ? file.size() - 18 : next;
    const std::string chunk = file.substr(at, end - at);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(chunk, m, whole_entry)) << "entry at " << at << ":\n" << chunk;
    seen.push_back(std::stoi(m[1]));
    at = end;
  }
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(2 * per_thread));
  // Each thread's entries keep their order.
  std::vector<int> from_a;
  std::vector<int> from_b;
  for (const int n : seen) (n < 2000 ? from_a : from_b).push_back(n);
  ASSERT_EQ(from_a.size(), static_cast<std::size_t>(per_thread));
  ASSERT_EQ(from_b.size(), static_cast<std::size_t>(per_thread));
  for (int i = 0; i < per_thread; ++i) {
    EXPECT_EQ(from_a[static_cast<std::size_t>(i)], 1000 + i);
    EXPECT_EQ(from_b[static_cast<std::size_t>(i)], 2000 + i);
  }
}

TEST_F(LogEntryConcurrency, EntriesForDifferentAdaptersRunSideBySide) {
  logd::set_dump_data_size(16);
  logd::set_error_log_size(16);
  constexpr int adapters = 6;
  for (int i = 0; i < adapters; ++i) add_adapter(i, 0x0100u + static_cast<std::uint32_t>(i));
  std::vector<std::thread> threads;
  for (int i = 0; i < adapters; ++i) {
    threads.emplace_back([i] {
      const std::uint32_t k = 0x05030100u + static_cast<std::uint32_t>(i);
      const auto reply = make_reply({});
      for (int n = 1; n <= 10; ++n) {
        const auto record = make_driver_record(static_cast<std::uint32_t>(n), 1700000000, driver_data(k));
        EXPECT_EQ(logd::write_log_entry(record, &reply), 0);
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < adapters; ++i) {
    const std::string file = file_text(log_file(static_cast<std::uint16_t>(0x0100 + i)));
    EXPECT_EQ(file.substr(0, 4), "  10");
    std::size_t count = 0;
    for (std::size_t at = file.find("---- KVXWDD LOG #"); at != std::string::npos;
         at = file.find("---- KVXWDD LOG #", at + 1)) {
      ++count;
    }
    EXPECT_EQ(count, 10u);
  }
}

}  // namespace
}  // namespace kvx::test
