#include "paramutil/parameter_text.h"

#include <gtest/gtest.h>

namespace kvx::paramutil {
namespace {

std::string value_of(std::string_view text, const entry_location& e) {
  return std::string(text.substr(e.value_begin, e.value_end - e.value_begin));
}

TEST(FindEntry, LocatesEntryAndValueAmongOthers) {
  const std::string_view text = "LinkSpeed=2;Topology=1;Qdp=32;";
  auto e = find_entry(text, "Topology");
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->begin, 12u);
  EXPECT_EQ(e->end, 23u);
  ASSERT_TRUE(e->has_value);
  EXPECT_EQ(value_of(text, *e), "1");
  EXPECT_EQ(without_entry(text, *e), "LinkSpeed=2;Qdp=32;");

  auto first = find_entry(text, "LinkSpeed");
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(without_entry(text, *first), "Topology=1;Qdp=32;");
  auto last = find_entry(text, "Qdp");
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(without_entry(text, *last), "LinkSpeed=2;Topology=1;");

  EXPECT_FALSE(find_entry(text, "Sgl").has_value());
  EXPECT_FALSE(find_entry("", "Sgl").has_value());
  EXPECT_FALSE(find_entry("linkspeed=2;", "LinkSpeed").has_value()) << "names are case-sensitive";
}

TEST(FindEntry, MalformedEntriesNeverReachIntoTheirNeighbours) {
  // No "=" inside the entry: the "=" of the next entry must not be taken.
  const std::string_view no_equals = "LinkDown;Qdp=5;";
  auto e = find_entry(no_equals, "LinkDown");
  ASSERT_TRUE(e.has_value());
  EXPECT_FALSE(e->has_value);
  EXPECT_EQ(without_entry(no_equals, *e), "Qdp=5;");

  // No ";": the entry reaches to the end, so replacing it leaves nothing behind.
  const std::string_view no_semicolon = "Qdp=5;LinkDown=12";
  e = find_entry(no_semicolon, "LinkDown");
  ASSERT_TRUE(e.has_value());
  ASSERT_TRUE(e->has_value);
  EXPECT_EQ(value_of(no_semicolon, *e), "12");
  EXPECT_EQ(without_entry(no_semicolon, *e), "Qdp=5;");

  // The name alone at the very end.
  e = find_entry("Qdp=5;Sgl", "Sgl");
  ASSERT_TRUE(e.has_value());
  EXPECT_FALSE(e->has_value);
  EXPECT_EQ(without_entry("Qdp=5;Sgl", *e), "Qdp=5;");
}

TEST(LeadingNumber, DecimalAsTheDriverReadsIt) {
  EXPECT_EQ(leading_number("007", false), 7);
  EXPECT_EQ(leading_number("2x", false), 2);
  EXPECT_EQ(leading_number("-1", false), -1);
  EXPECT_EQ(leading_number("+5", false), 5);
  EXPECT_EQ(leading_number("2147483647", false), 2147483647);
  EXPECT_EQ(leading_number("-2147483648", false), -2147483647 - 1);
  EXPECT_FALSE(leading_number("2147483648", false).has_value());
  EXPECT_FALSE(leading_number("99999999999999999999", false).has_value());
  EXPECT_FALSE(leading_number("", false).has_value());
  EXPECT_FALSE(leading_number("abc", false).has_value());
  EXPECT_FALSE(leading_number("-", false).has_value());
  EXPECT_EQ(leading_number("1f", false), 1) << "decimal stops at the first non-digit";
}

TEST(LeadingNumber, HexadecimalWithOrWithoutPrefix) {
  EXPECT_EQ(leading_number("0x1f", true), 0x1f);
  EXPECT_EQ(leading_number("0X1F", true), 0x1f);
  EXPECT_EQ(leading_number("1f", true), 0x1f);
  EXPECT_EQ(leading_number("0x1fzz", true), 0x1f);
  EXPECT_EQ(leading_number("0x", true), 0) << "a bare prefix reads as the 0 before it";
  EXPECT_EQ(leading_number("0xzz", true), 0);
  EXPECT_EQ(leading_number("-0x1", true), -1);
  EXPECT_EQ(leading_number("0x7fffffff", true), 0x7fffffff);
  EXPECT_FALSE(leading_number("0x80000000", true).has_value());
  EXPECT_FALSE(leading_number("zz", true).has_value());
}

}  // namespace
}  // namespace kvx::paramutil
