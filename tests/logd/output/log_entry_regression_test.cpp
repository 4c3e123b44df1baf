// Entries for inputs that the fuzz targets and fault runs brought up.
#include <gtest/gtest.h>

#include "logd/output/log_entry.h"
#include "tests/logd/output/output_fixture.h"

namespace kvx::test {
namespace {

constexpr std::uint16_t location = 0x0208;
constexpr std::uint32_t key = 0x05030208;

class LogEntryRegression : public output_test {
 protected:
  void SetUp() override {
    output_test::SetUp();
    (void)add_adapter(2, location);
  }
};

// Record numbers are unsigned 32-bit: past 2147483647 they used to be shown
// negative ("#-2147483648").
TEST_F(LogEntryRegression, RecordNumbersPast2ToThe31AreShownUnsigned) {
  for (const std::uint32_t number : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    std::filesystem::remove(log_file(location));
    const auto record = make_driver_record(number, 1700000000, driver_data(key));
    ASSERT_EQ(logd::write_log_entry(record, nullptr), 0);
    const std::string header = "---- KVXWDD LOG #" + std::to_string(number) + " ----\r\n";
    EXPECT_NE(file_text(log_file(location)).find(header), std::string::npos) << header;
  }
}

}  // namespace
}  // namespace kvx::test
