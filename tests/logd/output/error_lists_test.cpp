// The error name and level lists: line syntax, lookups, and failures.
#include "logd/output/error_lists.h"

#include <fstream>

#include "tests/logd/output/output_fixture.h"

namespace kvx::test {
namespace {

class ErrorLists : public output_test {
 protected:
  // Loads a one-kind list made of `text` and gives its entries.
  std::vector<logd::name_entry> names_of(const std::string& text) {
    write_list("errorlog_list.txt", text);
    EXPECT_EQ(logd::load_error_list(logd::error_name_list), 0);
    const auto* table = logd::get_errorlist_name_table();
    EXPECT_NE(table, nullptr);
    if (table == nullptr) return {};
    EXPECT_EQ(logd::get_errorlist_name_count(), static_cast<std::int32_t>(table->size()));
    return *table;
  }
};

TEST_F(ErrorLists, ExampleLinesOfTheErrorListGiveTheirEntries) {
  struct example {
    const char* line;
    bool valid;
    std::int32_t number;
    const char* name;
    std::int32_t level;
  };
  const example examples[] = {
      {"5, NAME_A, 2", true, 5, "NAME_A", 2}, {"5 , NAME_A , 2", true, 5, "NAME_A", 2},
      {"5,NAME A,2", true, 5, "NAME", 0},     {"5,NAME_A,2 trailing words", true, 5, "NAME_A", 2},
      {"5,NAME_A,2,9", false, 0, "", 0},      {"5,NAME_A", false, 0, "", 0},
      {"   # 7,NAME_C,1", false, 0, "", 0},   {"\t 5,NAME_A,2 \r", true, 5, "NAME_A", 2},
      {"-3,NEG,+4", true, -3, "NEG", 4},      {"x5,LETTERS,7y", true, 0, "LETTERS", 7},
  };
  for (const example& e : examples) {
    SCOPED_TRACE(e.line);
    const auto entries = names_of(std::string(e.line) + "\r\n");
    if (!e.valid) {
      EXPECT_TRUE(entries.empty());
      continue;
    }
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].error_number, e.number);
    EXPECT_EQ(entries[0].error_name, e.name);
    EXPECT_EQ(entries[0].level_number, e.level);
  }
}

TEST_F(ErrorLists, LinesWithTheRightCommasButTooFewTokensAreSkipped) {
  const auto entries = names_of("5,,\n,,\n5,NAME,\n,NAME,2\n6,GOOD,1\n");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].error_name, "GOOD");
}

TEST_F(ErrorLists, LevelListLinesNeedExactlyOneCommaAndTwoTokens) {
  write_list("errorlevel_list.txt", "2,LEVEL_B\n3,A,B\n4\n5,\n# 6,C\n\n  7 , SEVEN  \n");
  ASSERT_EQ(logd::load_error_list(logd::error_level_list), 0);
  const auto* table = logd::get_errorlist_level_table();
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(table->size(), 2u);
  EXPECT_EQ((*table)[0].level_number, 2);
  EXPECT_EQ((*table)[0].level_name, "LEVEL_B");
  EXPECT_EQ((*table)[1].level_number, 7);
  EXPECT_EQ((*table)[1].level_name, "SEVEN");
  EXPECT_EQ(logd::get_errorlist_level_count(), 2);
}

TEST_F(ErrorLists, ALongLineIsJudgedInPiecesOf255Characters) {
  // 253 characters of padding and "1," fill the first piece; the second piece
  // "9,LONG,3" is a line of its own.
  const std::string first = std::string(253, 'x') + "1,";
  const auto entries = names_of(first + "9,LONG,3\n");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].error_number, 9);
  EXPECT_EQ(entries[0].error_name, "LONG");
}

TEST_F(ErrorLists, LookupsTakeTheFirstMatchAndAMissingLevelFindsNone) {
  write_list("errorlog_list.txt", "5,FIRST,2\n5,SECOND,3\n6,NO_LEVEL,9\n");
  write_list("errorlevel_list.txt", "2,LEVEL_B\n2,LEVEL_B2\n");
  ASSERT_EQ(logd::load_error_list(logd::error_name_list), 0);
  ASSERT_EQ(logd::load_error_list(logd::error_level_list), 0);
  const logd::name_entry* five = logd::find_error_name(5);
  ASSERT_NE(five, nullptr);
  EXPECT_EQ(five->error_name, "FIRST");
  const logd::level_entry* level = logd::find_error_level(five);
  ASSERT_NE(level, nullptr);
  EXPECT_EQ(level->level_name, "LEVEL_B");
  const logd::name_entry* six = logd::find_error_name(6);
  ASSERT_NE(six, nullptr);
  EXPECT_EQ(logd::find_error_level(six), nullptr);
  EXPECT_EQ(logd::find_error_name(7), nullptr);
  EXPECT_EQ(logd::find_error_level(nullptr), nullptr);
}

TEST_F(ErrorLists, ADirectoryWithATrailingBackslashFindsTheSameFiles) {
  logd::set_error_log_list_path(std::string("C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\"));
  ASSERT_EQ(logd::load_error_list(logd::error_name_list), 0);
  ASSERT_EQ(logd::load_error_list(logd::error_level_list), 0);
  const logd::name_entry* link_down = logd::find_error_name(1);
  ASSERT_NE(link_down, nullptr);
  EXPECT_EQ(link_down->error_name, "LINK_DOWN");
  ASSERT_NE(logd::find_error_level(link_down), nullptr);
  EXPECT_EQ(logd::find_error_level(link_down)->level_name, "ERROR");
  EXPECT_TRUE(reports_.reports().empty());
}

TEST_F(ErrorLists, AMissingFileIsReportedWithItsQuotedPathAndInstallsNothing) {
  std::filesystem::remove(list_dir() / "errorlevel_list.txt");
  EXPECT_EQ(logd::load_error_list(logd::error_level_list), 1);
  EXPECT_EQ(logd::get_errorlist_level_table(), nullptr);
  const auto events = reports_.reports();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, 1);
  EXPECT_EQ(events[0].text(),
            "Unable to open file \"C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\errorlevel_list.txt\"");
}

TEST_F(ErrorLists, AnUnknownKindFailsAtOnceAndAListWithoutValidLinesIsEmpty) {
  EXPECT_EQ(logd::load_error_list(2), 1);
  EXPECT_EQ(logd::load_error_list(-1), 1);
  EXPECT_TRUE(reports_.reports().empty());
  EXPECT_TRUE(names_of("# nothing here\n\n,\n").empty());
  EXPECT_EQ(logd::find_error_name(0), nullptr);
}

TEST(DecimalText, ReadsNumbersTheWayAtoiDoesAndSaturatesInsteadOfWrapping) {
  EXPECT_EQ(logd::decimal_or_zero("  42abc"), 42);
  EXPECT_EQ(logd::decimal_or_zero("-17"), -17);
  EXPECT_EQ(logd::decimal_or_zero("+8"), 8);
  EXPECT_EQ(logd::decimal_or_zero("abc"), 0);
  EXPECT_EQ(logd::decimal_or_zero("- 5"), 0);
  EXPECT_EQ(logd::decimal_or_zero(""), 0);
  EXPECT_EQ(logd::decimal_or_zero("99999999999999999999"), 2147483647);
  EXPECT_EQ(logd::decimal_or_zero("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(logd::decimal_or_zero("-99999999999"), -2147483647 - 1);
  std::size_t pos = 0;
  std::int32_t value = 0;
  ASSERT_TRUE(logd::read_decimal("  12 5000", pos, value));
  EXPECT_EQ(value, 12);
  ASSERT_TRUE(logd::read_decimal("  12 5000", pos, value));
  EXPECT_EQ(value, 5000);
  EXPECT_FALSE(logd::read_decimal("  12 5000", pos, value));
  EXPECT_EQ(pos, 9u);
}

}  // namespace
}  // namespace kvx::test
