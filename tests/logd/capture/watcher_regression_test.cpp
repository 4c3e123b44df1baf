// The dispatch pass over a damaged simulated System log, as the fault runs
// found it: a log or a record that cannot be read is said in the Application
// log (it used to be skipped without a word), and the watch goes on.
#include <gtest/gtest.h>

#include <fstream>

#include "logd/capture/watcher.h"
#include "platform/sim/event_log_file.h"
#include "tests/logd/capture/capture_fixture.h"

namespace kvx::logd {
namespace {

std::int64_t append_driver_record(std::uint32_t key) {
  return sim::append_event_record("System", "kvxwdd", 0xC0070001, 1, 0, 0, {}, test::driver_data_bytes(0, key));
}

// Overwrites `bytes` of the System log file in place, at `offset`.
void overwrite_system_log(std::uint64_t offset, const std::string& bytes) {
  std::fstream file(sim::event_log_path("System"), std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class DamagedSystemLog : public test::capture_fixture {
 protected:
  std::uint32_t last() const { return static_cast<std::uint32_t>(get_last_record_number()); }
  int reports_of(const std::string& text) {
    std::vector<sim::event_record> records;
    EXPECT_EQ(sim::read_event_log("Application", records), 0);
    int n = 0;
    for (const sim::event_record& r : records) n += !r.strings.empty() && r.strings[0] == text ? 1 : 0;
    return n;
  }

  // The simulated host's own event logs, under the fixture's host root.
  platform::scoped_event_logs sim_logs{platform::backend_event_logs()};
};

TEST_F(DamagedSystemLog, ALogThatCannotBeReadIsSaidAndTheNextReadableLogIsFollowed) {
  add_entry("\\\\.\\scsi2", 0x020A);
  ASSERT_EQ(append_driver_record(0x020A), 1);
  ASSERT_EQ(append_driver_record(0x020A), 2);
  set_last_record_number(2);
  overwrite_system_log(0, std::string(200, 'x'));
  EXPECT_EQ(pass(), pass_result::done);
  EXPECT_EQ(last(), 2u);
  EXPECT_EQ(reports_of("Unable to read eventlog."), 1);
  EXPECT_TRUE(writer.written().empty());

  ASSERT_EQ(sim::clear_event_log("System", sim::clear_numbering::restart), 0);
  ASSERT_EQ(append_driver_record(0x020A), 1);
  EXPECT_EQ(pass(), pass_result::done);
  EXPECT_EQ(writer.written_numbers(), std::vector<std::uint32_t>{1});
  EXPECT_EQ(reports_of("Unable to read eventlog."), 1);
}

TEST_F(DamagedSystemLog, ADamagedRecordIsSaidAndTheRecordsAroundItAreDispatched) {
  add_entry("\\\\.\\scsi2", 0x020A);
  for (int i = 0; i < 3; ++i) ASSERT_GT(append_driver_record(0x020A), 0);
  // Three records of one size behind the 64-byte file header: the second
  // one's "LfLe" signature is wiped.
  const auto size = std::filesystem::file_size(sim::event_log_path("System"));
  overwrite_system_log(64 + (size - 64) / 3 + 4, std::string(4, '\0'));
  EXPECT_EQ(pass(), pass_result::done);
  EXPECT_EQ(writer.written_numbers(), (std::vector<std::uint32_t>{1, 3}));
  EXPECT_EQ(reports_of("Unable to read eventlog record 2. Return code is 1500."), 1);
  EXPECT_EQ(last(), 3u);
}

}  // namespace
}  // namespace kvx::logd
