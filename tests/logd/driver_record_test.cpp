// Reading kvxwdd's System-log records: acceptance, the status word and event
// key, the synthetic record, and records that are too short or lie about
// their offsets.
#include "logd/driver_record.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "logd/state_store.h"
#include "tests/fakes/capture_fake_event_log.h"

namespace kvx::logd {
namespace {

using test::driver_data_bytes;
using test::driver_record_bytes;

class DriverRecord : public ::testing::Test {
 protected:
  void SetUp() override { set_unique_id_position(40); }
  void TearDown() override { set_unique_id_position(40); }
};

TEST_F(DriverRecord, AcceptsTheDriverByWholeSourceNameAnyCaseAndFacility7) {
  EXPECT_TRUE(is_driver_record(driver_record_bytes(1, driver_data_bytes(0, 0), "kvxwdd", 0xC0070004)));
  EXPECT_TRUE(is_driver_record(driver_record_bytes(1, driver_data_bytes(0, 0), "KVXWDD", 0x40070000)));
  EXPECT_TRUE(is_driver_record(driver_record_bytes(1, driver_data_bytes(0, 0), "KvxWdd", 0x00070007)));
  EXPECT_FALSE(is_driver_record(driver_record_bytes(1, driver_data_bytes(0, 0), "kvxwdd2", 0xC0070004)));
  EXPECT_FALSE(is_driver_record(driver_record_bytes(1, driver_data_bytes(0, 0), "kvxwd", 0xC0070004)));
  EXPECT_FALSE(is_driver_record(driver_record_bytes(1, driver_data_bytes(0, 0), "kvxwdd", 0xC0040004)));
  // Facility is bits 16-27: 0x107 is not 7, while bit 28 lies outside it.
  EXPECT_FALSE(is_driver_record(driver_record_bytes(1, driver_data_bytes(0, 0), "kvxwdd", 0x01070004)));
  EXPECT_TRUE(is_driver_record(driver_record_bytes(1, driver_data_bytes(0, 0), "kvxwdd", 0x10070004)));
  EXPECT_EQ(event_facility(0xC0070004), 7u);
  EXPECT_EQ(event_facility(0xFFFFFFFF), 0xFFFu);
}

TEST_F(DriverRecord, StatusWordClassesComeFromTheTwoTopBits) {
  for (std::uint32_t s : {0x00000000u, 0x40000000u, 0x7FFFFFFFu}) {
    EXPECT_EQ(classify_status(static_cast<std::int32_t>(s)), status_class_logged) << std::hex << s;
  }
  for (std::uint32_t s : {0x80000000u, 0xBFFFFFFFu}) {
    EXPECT_EQ(classify_status(static_cast<std::int32_t>(s)), status_class_ignored) << std::hex << s;
  }
  for (std::uint32_t s : {0xC0000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(classify_status(static_cast<std::int32_t>(s)), status_class_ungettable) << std::hex << s;
  }
  const event_record record = driver_record_bytes(7, driver_data_bytes(0xC0000012, 0));
  ASSERT_TRUE(read_status_word(record).has_value());
  EXPECT_EQ(static_cast<std::uint32_t>(*read_status_word(record)), 0xC0000012u);
}

TEST_F(DriverRecord, EventKeyIsBigEndianAtUniqueIdPositionWithItsFields) {
  const event_record record = driver_record_bytes(9, driver_data_bytes(0, 0x0503020A));
  ASSERT_EQ(read_event_key(record), 0x0503020Au);
  const std::uint32_t key = 0x0503020A;
  EXPECT_EQ(key_error_number(key), 5u);
  EXPECT_EQ(key_slot(key), 3u);
  EXPECT_EQ(key_bus(key), 2u);
  EXPECT_EQ(key_device(key), 1u);
  EXPECT_EQ(key_function(key), 2u);
  EXPECT_EQ(location_of_key(key), 0x020A);

  std::vector<std::uint8_t> data = driver_data_bytes(0, 0);
  data.resize(60);
  data[44] = 0x11, data[45] = 0x22, data[46] = 0x33, data[47] = 0x44;
  set_unique_id_position(44);
  EXPECT_EQ(read_event_key(driver_record_bytes(9, data)), 0x11223344u);
}

TEST_F(DriverRecord, HeaderFieldsAreLittleEndian) {
  const event_record record = driver_record_bytes(0x01020304, driver_data_bytes(0, 0));
  EXPECT_EQ(record_number(record), 0x01020304u);
  EXPECT_EQ(time_generated(record), 1765116136u);
  const std::span<const std::uint8_t> data = driver_data(record);
  ASSERT_EQ(data.size() >= 104, true);
  EXPECT_EQ(data[16], 0);
}

TEST_F(DriverRecord, SyntheticRecordCarriesTheLocationAsItsKeyWithStatusClass0) {
  const driver_event event = make_synthetic_record(0x0000020A);
  EXPECT_EQ(event.number, 0u);
  EXPECT_EQ(event.time_generated, 0u);
  ASSERT_EQ(event.event_key, 0x0000020Au);
  EXPECT_EQ(key_error_number(*event.event_key), 0u);
  EXPECT_EQ(key_slot(*event.event_key), 0u);
  EXPECT_EQ(location_of_key(*event.event_key), 0x020A);
  EXPECT_EQ(event.status, 0);
  EXPECT_EQ(event_status_class(event), status_class_logged);
  EXPECT_TRUE(event.data.empty());
}

TEST_F(DriverRecord, SyntheticRecordIsTheSameWhereverRecordsCarryTheirKey) {
  // Made as a decoded record, it holds no key position: none is refused.
  const driver_event at_40 = make_synthetic_record(0x1234);
  for (std::int32_t position :
       {44, 0, -1, -56, 0x10000, std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::min()}) {
    set_unique_id_position(position);
    const driver_event event = make_synthetic_record(0x1234);
    EXPECT_EQ(event.event_key, at_40.event_key) << position;
    EXPECT_EQ(event.status, at_40.status) << position;
    EXPECT_EQ(event.number, at_40.number) << position;
    EXPECT_EQ(event.data, at_40.data) << position;
  }
}

TEST_F(DriverRecord, TruncatedRecordsAreNotReadableAndNothingIsReadPastTheirEnd) {
  const event_record whole = driver_record_bytes(3, driver_data_bytes(0x40000000, 0x0503020A));
  const std::size_t data_start = load_le32(whole, data_offset_offset).value();
  // Every prefix of a valid record: each reader either gives the true value or
  // reports "not readable"; ASan proves nothing beyond the prefix is touched.
  for (std::size_t n = 0; n <= whole.size(); ++n) {
    const event_record cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
    const bool accepted = is_driver_record(cut);
    EXPECT_EQ(accepted, n > 56 + 6) << n;
    const auto status = read_status_word(cut);
    EXPECT_TRUE(!status || *status == 0x40000000) << n;
    const auto key = read_event_key(cut);
    EXPECT_TRUE(!key || *key == 0x0503020Au) << n;
    EXPECT_EQ(status.has_value(), n >= data_start + 20) << n;
    EXPECT_EQ(key.has_value(), n >= data_start + 44) << n;
  }
  EXPECT_FALSE(is_driver_record(event_record{}));
  EXPECT_FALSE(read_status_word(event_record{}).has_value());
  EXPECT_FALSE(record_number(event_record(11, 0)).has_value());
}

TEST_F(DriverRecord, DataOffsetBeyondTheRecordOrNearOverflowReadsNothing) {
  event_record record = driver_record_bytes(3, driver_data_bytes(0, 0x0503020A));
  for (std::uint32_t offset : {0xFFFFFFFFu, 0xFFFFFFFCu, 0x80000000u, static_cast<std::uint32_t>(record.size()),
                               static_cast<std::uint32_t>(record.size() - 3)}) {
    for (int i = 0; i < 4; ++i) record[52 + i] = static_cast<std::uint8_t>(offset >> (8 * i));
    EXPECT_FALSE(read_event_key(record).has_value()) << offset;
    EXPECT_FALSE(read_status_word(record).has_value()) << offset;
  }
  // DataOffset 0 is inside the record: the words are read from the header.
  for (int i = 0; i < 4; ++i) record[52 + i] = 0;
  EXPECT_EQ(read_status_word(record), static_cast<std::int32_t>(load_le32(record, 16).value()));
}

TEST_F(DriverRecord, UniqueIdPositionAnywhereInThe32BitRangeIsChecked) {
  const event_record record = driver_record_bytes(3, driver_data_bytes(0, 0x0503020A));
  const auto data_size = static_cast<std::int32_t>(driver_data(record).size());
  for (std::int32_t position : {-1, -4, -52, std::numeric_limits<std::int32_t>::min(), data_size - 3, data_size,
                                std::numeric_limits<std::int32_t>::max()}) {
    set_unique_id_position(position);
    EXPECT_FALSE(read_event_key(record).has_value()) << position;
  }
  set_unique_id_position(data_size - 4);
  EXPECT_TRUE(read_event_key(record).has_value());
}

TEST_F(DriverRecord, SourceNameWithoutItsNulInsideTheRecordIsNotTheDriver) {
  event_record record(56 + 6, 0);
  record[20] = 0x01, record[22] = 0x07;  // EventID 0x00070001
  const char name[] = "kvxwdd";
  std::copy(name, name + 6, record.begin() + 56);
  EXPECT_FALSE(is_driver_record(record));
  record.push_back(0);
  EXPECT_TRUE(is_driver_record(record));
}

TEST_F(DriverRecord, ByteOrderHelpersCheckBothEnds) {
  const std::vector<std::uint8_t> bytes{0x01, 0x02, 0x03, 0x04, 0x05};
  EXPECT_EQ(load_le32(bytes, 0), 0x04030201u);
  EXPECT_EQ(load_be32(bytes, 1), 0x02030405u);
  EXPECT_FALSE(load_le32(bytes, 2).has_value());
  EXPECT_FALSE(load_be32(bytes, -1).has_value());
  EXPECT_FALSE(load_le32(bytes, std::numeric_limits<std::int64_t>::max()).has_value());
  EXPECT_FALSE(load_le32({}, 0).has_value());
}

}  // namespace
}  // namespace kvx::logd
