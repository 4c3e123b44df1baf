// simhost eventlog show|clear|write: what a person sees, and bad arguments
// refused with a message, a non-zero status and the log left as it was.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "platform/sim/event_log_file.h"
#include "simhost/commands.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/file_bytes.h"
#include "tests/support/process.h"

namespace {

namespace sim = kvx::sim;
using kvx::simhost::arguments;
using kvx::simhost::run_eventlog;
using kvx::test::file_bytes;

kvx::test::command_result run(const arguments& args) {
  return kvx::test::run_captured([&] { return run_eventlog(args); });
}

class EventlogCommand : public testing::Test {
 protected:
  void SetUp() override { ::setenv("KVX_COMPUTER_NAME", "TESTBOX", 1); }
  void TearDown() override { ::unsetenv("KVX_COMPUTER_NAME"); }
  kvx::test::temp_host host_;
};

TEST_F(EventlogCommand, WriteThenShowEveryField) {
  const kvx::test::command_result w =
      run({"write", "System", "--source", "kvxwdd", "--id", "0xC0070004", "--type", "error", "--category", "2",
           "--time", "1700000000", "--string", "first text", "--string", "", "--data",
           "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f:10FF"});
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(w.out, "1\n");
  const kvx::test::command_result w2 = run({"write", "system", "--source", "Hbalogd", "--id", "7"});
  ASSERT_EQ(w2.status, 0) << w2.err;
  EXPECT_EQ(w2.out, "2\n");

  const kvx::test::command_result s = run({"show", "System"});
  ASSERT_EQ(s.status, 0) << s.err;
  // TimeWritten is the moment of writing: compare its form, not its value.
  const std::string shown =
      std::regex_replace(s.out, std::regex("Time written:   \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC \\(\\d+\\)"),
                         "Time written:   T");
  const std::string head =
      "System log: 2 records, oldest 1, next number 3\n"
      "Record 1\n"
      "  Time generated: 2023-11-14 22:13:20 UTC (1700000000)\n"
      "  Time written:   T\n"
      "  Source:         kvxwdd\n"
      "  Computer:       TESTBOX\n"
      "  Type:           error (1)\n"
      "  Event ID:       0xC0070004\n"
      "  Category:       2\n"
      "  Strings:        2\n"
      "    1: \"first text\"\n"
      "    2: \"\"\n"
      "  Data:           18 bytes\n"
      "    0000: 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n"
      "    0010: 10 ff\n"
      "Record 2\n";
  EXPECT_EQ(shown.substr(0, head.size()), head);
  EXPECT_NE(shown.find("  Type:           information (4)\n  Event ID:       0x00000007\n  Category:       0\n"
                       "  Strings:        0\n  Data:           0 bytes\n"),
            std::string::npos)
      << shown;

  const kvx::test::command_result empty = run({"show", "Application"});
  ASSERT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "Application log: no records, next number 1\n");
}

TEST_F(EventlogCommand, ClearRestartsKeepsOrStartsAtNumber) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(run({"write", "System", "--source", "s", "--id", "1"}).status, 0);
  kvx::test::command_result c = run({"clear", "System", "--keep-numbers"});
  ASSERT_EQ(c.status, 0) << c.err;
  EXPECT_EQ(c.out, "System log cleared, next number 4\n");
  EXPECT_EQ(run({"write", "System", "--source", "s", "--id", "1"}).out, "4\n");
  c = run({"clear", "System"});
  ASSERT_EQ(c.status, 0);
  EXPECT_EQ(c.out, "System log cleared, next number 1\n");
  c = run({"clear", "System", "--next", "4294967295"});
  ASSERT_EQ(c.status, 0) << c.err;
  EXPECT_EQ(run({"write", "System", "--source", "s", "--id", "1"}).out, "4294967295\n");
  EXPECT_EQ(run({"write", "System", "--source", "s", "--id", "1"}).out, "1\n");
  ASSERT_EQ(run({"clear", "System", "--next", "0x10"}).status, 0);
  EXPECT_EQ(run({"write", "System", "--source", "s", "--id", "1"}).out, "16\n");
}

TEST_F(EventlogCommand, BadArgumentsChangeNothing) {
  ASSERT_EQ(run({"write", "System", "--source", "s", "--id", "1", "--string", "kept"}).status, 0);
  const std::filesystem::path path = sim::event_log_path("System");
  const std::vector<std::uint8_t> before = file_bytes(path);
  const std::vector<arguments> bad = {
      {},
      {"show"},
      {"frobnicate", "System"},
      {"show", "Security"},
      {"show", "System", "extra"},
      {"clear", "System", "--keep-numbers", "--next", "5"},
      {"clear", "System", "--next", "0"},
      {"clear", "System", "--next", "4294967296"},
      {"clear", "System", "--next", "-1"},
      {"clear", "System", "--next"},
      {"clear", "System", "--all"},
      {"write", "System", "--id", "1"},
      {"write", "System", "--source", "s"},
      {"write", "System", "--source", "", "--id", "1"},
      {"write", "System", "--source", "s", "--id", "0x1FFFFFFFF"},
      {"write", "System", "--source", "s", "--id", "12abc"},
      {"write", "System", "--source", "s", "--id", "1", "--type", "fatal"},
      {"write", "System", "--source", "s", "--id", "1", "--type", "65536"},
      {"write", "System", "--source", "s", "--id", "1", "--category", "70000"},
      {"write", "System", "--source", "s", "--id", "1", "--time", "-5"},
      {"write", "System", "--source", "s", "--id", "1", "--data", "0g"},
      {"write", "System", "--source", "s", "--id", "1", "--data", "abc"},
      {"write", "System", "--source", "s", "--id", "1", "--data", "a bc"},
      {"write", "System", "--source", "s", "--id", "1", "--string"},
      {"write", "System", "--source", "s", "--id", "1", "--colour", "red"},
  };
  for (const arguments& args : bad) {
    std::string words;
    for (const std::string& a : args) words += " [" + a + "]";
    const kvx::test::command_result o = run(args);
    EXPECT_EQ(o.status, 2) << words;
    EXPECT_NE(o.err.find("simhost eventlog: "), std::string::npos) << words;
    EXPECT_NE(o.err.find("usage: simhost eventlog"), std::string::npos) << words;
    EXPECT_EQ(o.out, "") << words;
    EXPECT_EQ(file_bytes(path), before) << words;
  }
}

TEST_F(EventlogCommand, CorruptLogIsReportedNotShownAsEmpty) {
  ASSERT_EQ(run({"write", "System", "--source", "s", "--id", "1"}).status, 0);
  const std::filesystem::path path = sim::event_log_path("System");
  {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.write("XXXX", 4);
  }
  const kvx::test::command_result s = run({"show", "System"});
  EXPECT_EQ(s.status, 1);
  EXPECT_NE(s.err.find("corrupt"), std::string::npos);
  const kvx::test::command_result w = run({"write", "System", "--source", "s", "--id", "1"});
  EXPECT_EQ(w.status, 1);
  EXPECT_EQ(w.out, "");
  EXPECT_EQ(run({"clear", "System", "--keep-numbers"}).status, 1);
  EXPECT_EQ(run({"clear", "System"}).status, 0);
  EXPECT_EQ(run({"show", "System"}).out, "System log: no records, next number 1\n");
}

#ifdef KVX_HAVE_SIMHOST
// The same commands through the simhost program, as scripts and other tests
// use them.
TEST_F(EventlogCommand, ThroughTheSimhostProgram) {
  using kvx::test::run_built;
  kvx::test::command_result r = run_built(
      "simhost/simhost", {"eventlog", "write", "System", "--source", "kvxwdd", "--id", "0xC0070001", "--data", "0102"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "1\n");
  r = run_built("simhost/simhost", {"eventlog", "show", "System"});
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("  Source:         kvxwdd\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    0000: 01 02\n"), std::string::npos) << r.out;
  r = run_built("simhost/simhost", {"eventlog", "show", "Nowhere"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown log (System or Application): Nowhere"), std::string::npos) << r.err;
}
#endif

}  // namespace
