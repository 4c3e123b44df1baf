#include "paramutil/console_input.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "paramutil/menu_text.h"
#include "tests/fakes/paramutil_console.h"
#include "tests/fakes/paramutil_fake_registry.h"

namespace kvx::paramutil {
namespace {

class ValidateInput : public ::testing::Test {
 protected:
  int validate(int kind, const std::string& text) {
    session s{reg_, stdin, stderr, {}};
    const std::size_t n = std::min(text.size(), input_line::max_length);
    std::memcpy(s.line.text, text.data(), n);
    s.line.text[n] = '\0';
    s.line.length = n;
    s.line.overlong = text.size() > input_line::max_length;
    return validate_input(s, kind);
  }
  test::paramutil_fake_registry reg_;
};

constexpr int global(int p) { return kind_value_global + p; }
constexpr int adapter(int p) { return kind_value_adapter + p; }

TEST_F(ValidateInput, EmptyAndOverlongLinesAreInvalidForEveryKind) {
  for (int kind : {91, 92, 93, 94, 95, 96, global(1), global(4), global(7), global(10), adapter(2), adapter(9)}) {
    EXPECT_EQ(validate(kind, ""), result_invalid) << kind;
    EXPECT_EQ(validate(kind, "x" + std::string(40, '1')), result_invalid) << kind;
  }
  EXPECT_EQ(validate(91, std::string(30, '0') + "1"), 1) << "31 characters still fit";
  EXPECT_EQ(validate(91, std::string(31, '0') + "1"), result_invalid) << "32 do not";
}

TEST_F(ValidateInput, MenusTakeOnlyTheirOwnNumbers) {
  EXPECT_EQ(validate(91, "1"), 1);
  EXPECT_EQ(validate(91, "3"), 3);
  EXPECT_EQ(validate(91, "99"), 99);
  EXPECT_EQ(validate(91, "099"), 99);
  EXPECT_EQ(validate(91, "4"), result_invalid);
  EXPECT_EQ(validate(91, "0"), result_invalid);
  EXPECT_EQ(validate(91, " 1"), result_invalid);
  EXPECT_EQ(validate(91, "1 "), result_invalid);
  EXPECT_EQ(validate(91, "x"), result_invalid) << "letters are answers only at value and number prompts";
  EXPECT_EQ(validate(94, "2"), 2);
  EXPECT_EQ(validate(94, "3"), result_invalid);
  EXPECT_EQ(validate(95, "99"), 99);
  EXPECT_EQ(validate(95, "X"), result_invalid);
}

TEST_F(ValidateInput, DigitStringsPast32BitsNeverWrapIntoARange) {
  // 2^32 + 99 and 2^32 + 1 would wrap to 99 (Exit) and 1 in 32 bits.
  EXPECT_EQ(validate(91, "4294967395"), result_invalid);
  EXPECT_EQ(validate(91, "4294967297"), result_invalid);
  EXPECT_EQ(validate(96, "4294967299"), result_invalid);
  EXPECT_EQ(validate(91, "9999999999999999999999999999999"), result_invalid);
}

TEST_F(ValidateInput, ParameterListsFollowTheScope) {
  for (int p = 1; p <= 10; ++p) EXPECT_EQ(validate(92, std::to_string(p)), p);
  EXPECT_EQ(validate(92, "99"), 99);
  EXPECT_EQ(validate(92, "11"), result_invalid);
  EXPECT_EQ(validate(93, "3"), result_invalid);
  EXPECT_EQ(validate(93, "10"), result_invalid);
  EXPECT_EQ(validate(93, "9"), 9);
  EXPECT_EQ(validate(93, "99"), 99);
}

TEST_F(ValidateInput, AdapterNumbers) {
  EXPECT_EQ(validate(96, "0"), 0);
  EXPECT_EQ(validate(96, "31"), 31);
  EXPECT_EQ(validate(96, "007"), 7);
  EXPECT_EQ(validate(96, "32"), result_invalid);
  EXPECT_EQ(validate(96, "x"), result_cancel);
  EXPECT_EQ(validate(96, "Xanything"), result_cancel);
  EXPECT_EQ(validate(96, "Z"), result_invalid);
  EXPECT_EQ(validate(96, "3x"), result_invalid);
}

TEST_F(ValidateInput, MenuStyleValuesUse88And99AsAnswers) {
  EXPECT_EQ(validate(global(1), "88"), result_invalid) << "no clearing Connection Type globally";
  EXPECT_EQ(validate(adapter(1), "88"), 88);
  EXPECT_EQ(validate(global(1), "2"), 2);
  EXPECT_EQ(validate(global(1), "3"), result_invalid);
  EXPECT_EQ(validate(global(1), "X"), result_invalid);
  EXPECT_EQ(validate(global(2), "4"), 4);
  EXPECT_EQ(validate(global(2), "3"), result_invalid);
  EXPECT_EQ(validate(global(2), "99"), 99);
  EXPECT_EQ(validate(adapter(2), "88"), 88);
  EXPECT_EQ(validate(global(3), "16"), 16);
  EXPECT_EQ(validate(global(3), "88"), 88);
  EXPECT_EQ(validate(global(3), "2"), result_invalid);
  EXPECT_EQ(validate(global(10), "0"), 88) << "Disable clears";
  EXPECT_EQ(validate(global(10), "1"), 1);
  EXPECT_EQ(validate(global(10), "99"), 99);
  EXPECT_EQ(validate(global(10), "88"), result_invalid);
}

TEST_F(ValidateInput, PromptStyleValuesTakeLettersAndRanges) {
  EXPECT_EQ(validate(global(4), "x"), result_cancel);
  EXPECT_EQ(validate(global(4), "Xylophone"), result_cancel);
  EXPECT_EQ(validate(global(4), "z"), result_clear);
  EXPECT_EQ(validate(adapter(4), "Z9"), result_clear);
  EXPECT_EQ(validate(global(4), "60"), 60);
  EXPECT_EQ(validate(global(4), "61"), result_invalid);
  EXPECT_EQ(validate(global(4), "007"), 7);
  EXPECT_EQ(validate(global(5), "0"), 0);
  EXPECT_EQ(validate(global(6), "10"), 10);
  EXPECT_EQ(validate(adapter(6), "11"), result_invalid);
  EXPECT_EQ(validate(global(8), "99"), 99) << "99 is an ordinary number here";
  EXPECT_EQ(validate(global(8), "88"), 88);
  EXPECT_EQ(validate(global(8), "0"), result_invalid);
  EXPECT_EQ(validate(global(8), "255"), result_invalid);
  EXPECT_EQ(validate(global(9), "15"), result_invalid);
  EXPECT_EQ(validate(global(9), "16"), 16);
  EXPECT_EQ(validate(adapter(9), "255"), 255);
  EXPECT_EQ(validate(global(9), "256"), result_invalid);
}

TEST_F(ValidateInput, ValueLinesLongerThanTheCopyAreRefusedNotCut) {
  EXPECT_EQ(validate(global(4), "0000007"), 7);
  EXPECT_EQ(validate(global(4), "00000007"), result_invalid) << "cut to 7 it would store 0";
  EXPECT_EQ(validate(global(2), "00000004"), result_invalid);
  EXPECT_EQ(validate(global(7), "0x1fzzzz"), result_invalid);
  EXPECT_EQ(validate(global(4), "x234567890"), result_cancel) << "letter answers ignore the rest";
  EXPECT_EQ(validate(91, "00000001"), 1) << "menu choices are not copied";
}

TEST_F(ValidateInput, PreferredAlpaIsHexWithPrefix) {
  for (int kind : {global(7), adapter(7)}) {
    EXPECT_EQ(validate(kind, "0x1f"), 0x1f);
    EXPECT_EQ(validate(kind, "0X1F"), 0x1f);
    EXPECT_EQ(validate(kind, "0x01"), 1);
    EXPECT_EQ(validate(kind, "0xef"), 0xef);
    EXPECT_EQ(validate(kind, "0x1fzz"), 0x1f);
    EXPECT_EQ(validate(kind, "1f"), result_invalid);
    EXPECT_EQ(validate(kind, "31"), result_invalid);
    EXPECT_EQ(validate(kind, "0x00"), result_invalid);
    EXPECT_EQ(validate(kind, "0xf0"), result_invalid);
    EXPECT_EQ(validate(kind, "0x"), result_invalid);
    EXPECT_EQ(validate(kind, "0xg1"), result_invalid);
    EXPECT_EQ(validate(kind, "z"), result_clear);
    EXPECT_EQ(validate(kind, "x1f"), result_cancel);
  }
}

TEST_F(ValidateInput, AlpaTrailingTextCannotBreakTheParameterString) {
  EXPECT_EQ(validate(global(7), "0x1f;"), result_invalid);
  EXPECT_EQ(validate(global(7), "0x1;Qdp"), result_invalid);
  EXPECT_EQ(validate(global(7), "0x1f=1"), result_invalid);
  EXPECT_EQ(validate(global(7), std::string("0x1f\t")), result_invalid);
  EXPECT_EQ(validate(global(7), std::string("0x1f\0z", 6)), result_invalid);
  EXPECT_EQ(validate(global(7), "0x1f z"), 0x1f);
}

using ValidateInputDeathTest = ValidateInput;

TEST_F(ValidateInputDeathTest, KindsWithoutARuleEndTheProgram) {
  EXPECT_EXIT((void)validate(97, "1"), ::testing::ExitedWithCode(255), "<error> internal error\\. \\( 11 : 97 \\)");
  EXPECT_EXIT((void)validate(global(11), "1"), ::testing::ExitedWithCode(255), "\\( 11 : 267 \\)");
  EXPECT_EXIT((void)validate(adapter(3), "1"), ::testing::ExitedWithCode(255), "\\( 11 : 515 \\)");
  EXPECT_EXIT((void)validate(adapter(10), ""), ::testing::ExitedWithCode(255), "\\( 11 : 522 \\)");
}

TEST_F(ValidateInputDeathTest, KindsWithoutATextEndTheProgram) {
  auto print = [this](int kind) {
    session s{reg_, stdin, stderr, {}};
    print_menu(s, kind);
  };
  EXPECT_EXIT(print(kind_adapter_number), ::testing::ExitedWithCode(255),
              "^\n<error> internal error\\. \\( 10 : 96 \\)\n$");
  EXPECT_EXIT(print(adapter(3)), ::testing::ExitedWithCode(255), "\\( 10 : 515 \\)");
  EXPECT_EXIT(print(global(11)), ::testing::ExitedWithCode(255), "\\( 10 : 267 \\)");
}

struct read_result {
  std::string text;
  bool overlong;
};

read_result read_one(session& s) {
  read_line(s);
  return {std::string(s.line.text, s.line.length), s.line.overlong};
}

TEST(ReadLine, KeepsLinesWithinTheBufferAndDiscardsTheRestOfLongOnes) {
  const std::string thirty_one(31, 'a');
  const std::string forty(40, 'b');
  test::paramutil_console console(thirty_one + "\n" + thirty_one + "c\n" + forty + "\n1\r\n\nlast");
  test::paramutil_fake_registry reg;
  session s{reg, console.in(), console.out(), {}};

  read_result r = read_one(s);
  EXPECT_EQ(r.text, thirty_one);
  EXPECT_FALSE(r.overlong);
  r = read_one(s);
  EXPECT_EQ(r.text, thirty_one);
  EXPECT_TRUE(r.overlong);
  r = read_one(s);
  EXPECT_EQ(r.text, forty.substr(0, 31));
  EXPECT_TRUE(r.overlong);
  EXPECT_EQ(s.line.text[31], '\0');
  r = read_one(s);
  EXPECT_EQ(r.text, "1") << "the rest of the long line is gone; the CR of a CR LF is dropped";
  r = read_one(s);
  EXPECT_EQ(r.text, "");
  r = read_one(s);
  EXPECT_EQ(r.text, "last") << "a last line without a line end still counts";
}

TEST(ReadLine, CarriageReturnAfterAFullBufferIsNotOverlong) {
  test::paramutil_console console(std::string(31, '7') + "\r\n");
  test::paramutil_fake_registry reg;
  session s{reg, console.in(), console.out(), {}};
  const read_result r = read_one(s);
  EXPECT_EQ(r.text.size(), 31u);
  EXPECT_FALSE(r.overlong);
}

// Reads two lines from an input that holds one: the second read ends the program.
void read_past_the_end() {
  test::paramutil_console console("1\n");
  test::paramutil_fake_registry reg;
  session s{reg, console.in(), stderr, {}};
  read_line(s);
  std::fputs("first line read", stderr);
  read_line(s);
}

TEST(ReadLineDeathTest, EndOfInputEndsTheProgramWithItsOwnStatus) {
  EXPECT_EXIT(read_past_the_end(), ::testing::ExitedWithCode(exit_end_of_input), "first line read\n$");
}

}  // namespace
}  // namespace kvx::paramutil
