// Record-number arithmetic on the ring 1..4294967295.
#include "logd/record_numbers.h"

#include <gtest/gtest.h>

namespace kvx::logd {
namespace {

TEST(RecordNumbers, StepsGoOnAt1AfterTheTopAndPast2ToThe31) {
  EXPECT_EQ(advance_record_number(1, 1), 2u);
  EXPECT_EQ(advance_record_number(0x7FFFFFFF, 1), 0x80000000u);
  EXPECT_EQ(advance_record_number(0xFFFFFFFF, 1), 1u);
  EXPECT_EQ(advance_record_number(0xFFFFFFFE, 3), 2u);
  EXPECT_EQ(advance_record_number(0, 1), 1u);
  EXPECT_EQ(record_distance(0xFFFFFFFE, 2), 3u);
  EXPECT_EQ(record_distance(5, 5), 0u);
  EXPECT_EQ(record_distance(0x7FFFFFFE, 0x80000001), 3u);
  EXPECT_EQ(record_distance(2, 1), 0xFFFFFFFEu);
}

TEST(RecordNumbers, SpanNewestAndMembershipFollowTheRing) {
  EXPECT_EQ(span_newest({1, 500}), 500u);
  // 16 numbers up to the top, then 1..16: 0 is skipped.
  EXPECT_EQ(span_newest({0xFFFFFFF0, 0x20}), 0x10u);
  EXPECT_EQ(span_newest({0, 0}), 0u);      // empty, next is 1
  EXPECT_EQ(span_newest({801, 0}), 800u);  // empty, numbering kept
  EXPECT_TRUE(span_holds({0xFFFFFFF0, 0x20}, 0xFFFFFFFF));
  EXPECT_TRUE(span_holds({0xFFFFFFF0, 0x20}, 0x10));
  EXPECT_FALSE(span_holds({0xFFFFFFF0, 0x20}, 0x11));
  EXPECT_FALSE(span_holds({0xFFFFFFF0, 0x20}, 0xFFFFFFEF));
  EXPECT_FALSE(span_holds({1, 3}, 800));
  EXPECT_FALSE(span_holds({1, 3}, 0));
  EXPECT_FALSE(span_holds({5, 0}, 5));
}

}  // namespace
}  // namespace kvx::logd
