// Record numbers at the top of the 32-bit range, against the real simulated
// System log and the hbalogd program: numbers past 2147483647, the wrap after
// 4294967295 to 1, and a start while the log's newest number is near the
// top. Every record is written once and none twice.
#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/logd/faults/fault_rig.h"

namespace kvx::test {
namespace {

class RecordNumberRun : public FaultRun {
 protected:
  void clear_at(std::uint32_t next) {
    const command_result r = simhost({"eventlog", "clear", "System", "--next", std::to_string(next)});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  // The entries the header counts: one whose text is in the file but whose
  // header was not yet stored is not written (a kill there leaves it to be
  // written over), and must not be taken for one before the service is killed.
  std::vector<std::uint32_t> numbers() {
    const std::string file = log_text();
    const log_header header = read_log_header(file);
    if (!header.valid) return {};
    return entry_numbers(file, 0, std::min(file.size(), static_cast<std::size_t>(header.offset)));
  }
  bool wait_for_count(std::size_t n) {
    return eventually([&] { return numbers().size() >= n; }, std::chrono::seconds(30));
  }
  // What a failed wait needs: the numbers written so far, and the System log.
  std::string written() {
    const std::string file = log_text();
    const log_header header = read_log_header(file);
    std::string text = "log header: " + std::to_string(header.count) + " entries, next at " +
                       std::to_string(header.offset) + "; entries written for records:";
    for (const std::uint32_t n : entry_numbers(file, 0, file.size())) text += " " + std::to_string(n);
    text += "; entries starting at:";
    for (const std::size_t at : entry_starts(file, 0, file.size())) text += " " + std::to_string(at);
    return text + "\n" + simhost({"eventlog", "show", "System"}).out + service_output();
  }
};

TEST_F(RecordNumberRun, NumbersPast2ToThe31AndAcrossTheWrapAreWrittenOnceEach) {
  clear_at(2147483646u);
  start_service();
  for (int i = 0; i < 4; ++i) ASSERT_EQ(inject(1, i), 2147483646ll + i);
  ASSERT_TRUE(wait_for_count(4)) << written();

  // Cleared while watched, to the top of the range.
  clear_at(4294967294u);
  const std::int64_t expected[] = {4294967294ll, 4294967295ll, 1, 2};
  for (int i = 0; i < 4; ++i) ASSERT_EQ(inject(2, i), expected[i]);
  ASSERT_TRUE(wait_for_count(8)) << written();

  // Started while the newest record is one below the top: that record was
  // there before the start and is not written; the ones after it are.
  ASSERT_NE(stop_service(), -1);
  clear_at(4294967294u);
  ASSERT_EQ(inject(3, 5), 4294967294ll);
  start_service();
  ASSERT_EQ(inject(3, 6), 4294967295ll);
  ASSERT_EQ(inject(3, 7), 1);
  ASSERT_EQ(inject(3, 8), 2);
  ASSERT_TRUE(wait_for_count(11)) << written();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(numbers(), (std::vector<std::uint32_t>{2147483646u, 2147483647u, 2147483648u, 2147483649u, 4294967294u,
                                                   4294967295u, 1, 2, 4294967295u, 1, 2}));
  // The detail data of the record from before the start is logged by the
  // startup scan, as a synthetic record.
  EXPECT_NE(log_text().find("---- KVXWDD LOG #------ ----"), std::string::npos);
  EXPECT_TRUE(service_running());
}

}  // namespace
}  // namespace kvx::test
