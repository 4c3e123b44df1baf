// The byte layout of one record, as ReadEventLogA hands it out, and the
// parser's refusal of anything that is not one whole, well-formed record.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "platform/sim/event_log_file.h"

namespace {

using kvx::sim::event_record;

std::uint32_t u32_at(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint16_t u16_at(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
void set_u32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

event_record sample() {
  event_record r;
  r.record_number = 0x01020304;
  r.time_generated = 1700000000;
  r.time_written = 1700000007;
  r.event_id = 0xC0070004;
  r.event_type = 1;
  r.event_category = 3;
  r.source_name = "kvxwdd";     // 7 bytes with NUL
  r.computer_name = "HOST1";    // 6 bytes with NUL: 56 + 13 = 69, padded to 72
  r.strings = {"ab", "c"};      // 72..74, 75..76
  r.data = {0xDE, 0xAD, 0xBE};  // 77..79, padded to 80, Length at 80
  return r;
}

TEST(RecordLayout, EveryFieldAtItsOffset) {
  const std::vector<std::uint8_t> b = kvx::sim::encode_event_record(sample());
  ASSERT_EQ(b.size(), 84u);
  EXPECT_EQ(u32_at(b, 0), 84u);
  EXPECT_EQ(u32_at(b, 4), 0x654c664cu);
  EXPECT_EQ(std::memcmp(&b[4], "LfLe", 4), 0);
  EXPECT_EQ(u32_at(b, 8), 0x01020304u);
  EXPECT_EQ(u32_at(b, 12), 1700000000u);
  EXPECT_EQ(u32_at(b, 16), 1700000007u);
  EXPECT_EQ(u32_at(b, 20), 0xC0070004u);
  EXPECT_EQ(u16_at(b, 24), 1u);   // EventType
  EXPECT_EQ(u16_at(b, 26), 2u);   // NumStrings
  EXPECT_EQ(u16_at(b, 28), 3u);   // EventCategory
  EXPECT_EQ(u16_at(b, 30), 0u);   // ReservedFlags
  EXPECT_EQ(u32_at(b, 32), 0u);   // ClosingRecordNumber
  EXPECT_EQ(u32_at(b, 36), 72u);  // StringOffset
  EXPECT_EQ(u32_at(b, 40), 0u);   // UserSidLength
  EXPECT_EQ(u32_at(b, 44), 72u);  // UserSidOffset, DWORD aligned
  EXPECT_EQ(u32_at(b, 48), 3u);   // DataLength
  EXPECT_EQ(u32_at(b, 52), 77u);  // DataOffset: right after the strings
  EXPECT_STREQ(reinterpret_cast<const char*>(&b[56]), "kvxwdd");
  EXPECT_STREQ(reinterpret_cast<const char*>(&b[63]), "HOST1");
  EXPECT_EQ(b[69], 0);  // padding
  EXPECT_EQ(b[70], 0);
  EXPECT_EQ(b[71], 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(&b[72]), "ab");
  EXPECT_STREQ(reinterpret_cast<const char*>(&b[75]), "c");
  EXPECT_EQ(b[77], 0xDE);
  EXPECT_EQ(b[79], 0xBE);
  EXPECT_EQ(u32_at(b, 80), 84u);  // Length again, last DWORD
}

TEST(RecordLayout, NoStringsNoDataIsTheSmallestRecord) {
  event_record r;
  r.source_name = "";
  r.computer_name = "";
  const std::vector<std::uint8_t> b = kvx::sim::encode_event_record(r);
  ASSERT_EQ(b.size(), 64u);
  EXPECT_EQ(u32_at(b, 36), 60u);
  EXPECT_EQ(u32_at(b, 52), 60u);
  EXPECT_EQ(u32_at(b, 60), 64u);
  event_record back;
  EXPECT_EQ(kvx::sim::parse_event_record(b, back), 64u);
  EXPECT_TRUE(back.strings.empty());
  EXPECT_TRUE(back.data.empty());
}

TEST(RecordLayout, RoundTripsThroughTheParser) {
  const event_record r = sample();
  std::vector<std::uint8_t> b = kvx::sim::encode_event_record(r);
  b.resize(b.size() + 10, 0xEE);  // bytes after the record are not part of it
  event_record back;
  ASSERT_EQ(kvx::sim::parse_event_record(b, back), 84u);
  EXPECT_EQ(back.record_number, r.record_number);
  EXPECT_EQ(back.time_generated, r.time_generated);
  EXPECT_EQ(back.time_written, r.time_written);
  EXPECT_EQ(back.event_id, r.event_id);
  EXPECT_EQ(back.event_type, r.event_type);
  EXPECT_EQ(back.event_category, r.event_category);
  EXPECT_EQ(back.source_name, r.source_name);
  EXPECT_EQ(back.computer_name, r.computer_name);
  EXPECT_EQ(back.strings, r.strings);
  EXPECT_EQ(back.data, r.data);
}

TEST(RecordLayout, UnrepresentableRecordsAreRefused) {
  event_record r = sample();
  r.strings.push_back(std::string("a\0b", 3));
  EXPECT_TRUE(kvx::sim::encode_event_record(r).empty());
  r = sample();
  r.source_name = std::string("kvx\0wdd", 7);
  EXPECT_TRUE(kvx::sim::encode_event_record(r).empty());
  r = sample();
  r.data.assign(kvx::sim::eventlog_max_record_size, 0);
  EXPECT_TRUE(kvx::sim::encode_event_record(r).empty());
  r = sample();
  r.strings.assign(0x10000, "");
  EXPECT_TRUE(kvx::sim::encode_event_record(r).empty());
}

TEST(RecordParse, RefusesTruncatedAndInconsistentBytes) {
  const std::vector<std::uint8_t> good = kvx::sim::encode_event_record(sample());
  event_record out;
  // Every proper prefix is refused.
  for (std::size_t n = 0; n < good.size(); ++n) {
    EXPECT_EQ(kvx::sim::parse_event_record(std::span(good.data(), n), out), 0u) << "prefix " << n;
  }
  struct mutation {
    const char* what;
    std::size_t at;
    std::uint32_t value;
  };
  const mutation cases[] = {
      {"bad magic", 4, 0x12345678},
      {"length not a multiple of 4", 0, 82},
      {"length beyond the bytes", 0, 88},
      {"length below the minimum", 0, 60},
      {"trailing length differs", 80, 80},
      {"string offset past the body", 36, 80},
      {"string offset inside the fixed part", 36, 8},
      {"data runs into the trailing length", 48, 4},
      {"data offset past the end", 52, 0xFFFFFFF0},
      {"data length wraps", 48, 0xFFFFFFFF},
      {"SID beyond the body", 40, 100},
  };
  for (const mutation& m : cases) {
    std::vector<std::uint8_t> b = good;
    set_u32(b, m.at, m.value);
    EXPECT_EQ(kvx::sim::parse_event_record(b, out), 0u) << m.what;
  }
  std::vector<std::uint8_t> b = good;
  b[26] = 3;  // a third string that is not there
  EXPECT_EQ(kvx::sim::parse_event_record(b, out), 0u) << "one string too many";
  b = good;
  std::memset(&b[56], 'x', 24);  // names without their NUL
  EXPECT_EQ(kvx::sim::parse_event_record(b, out), 0u) << "unterminated names";
}

TEST(RecordParse, RandomDamageNeverReadsOutside) {
  // Run under ASan this shows that no damaged record leads the parser past
  // its span; the assertion holds whatever is refused.
  const std::vector<std::uint8_t> good = kvx::sim::encode_event_record(sample());
  std::mt19937 rng(1234);
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::uint8_t> b = good;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) b[rng() % b.size()] = static_cast<std::uint8_t>(rng());
    event_record out;
    const std::uint32_t len = kvx::sim::parse_event_record(b, out);
    if (len != 0) {
      ASSERT_LE(len, b.size());
      ASSERT_LE(out.data.size(), len);
    }
  }
}

}  // namespace
