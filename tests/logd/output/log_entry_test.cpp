// The text of one log entry, byte for byte, and its detail-slot handling.
#include "logd/output/log_entry.h"

#include <ctime>
#include <fstream>
#include <regex>

#include "logd/driver_record.h"
#include "logd/output/error_lists.h"
#include "tests/logd/output/output_fixture.h"

namespace kvx::test {
namespace {

constexpr std::uint16_t location = 0x0208;
constexpr std::uint32_t key = 0x05030208;  // error 5, slot 3, bus 2, device 1, function 0

const std::regex option_data("OPTION DATA:        \\d{8} \\d{6} \\d{3}\r\n");

std::vector<std::uint8_t> slot_bytes() {
  return {0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa, 0x99, 0x88, 0x77, 0x66,
          0x55, 0x44, 0x33, 0x22, 0x11, 0x00, 0x01, 0x02, 0x03, 0x04};
}

class LogEntry : public output_test {
 protected:
  void SetUp() override {
    output_test::SetUp();
    entry_ = add_adapter(2, location);
  }
  // The entry as written into a fresh file (the text behind the header).
  std::string entry_text() {
    const std::string file = file_text(log_file(location));
    return file.size() > 16 ? file.substr(16) : std::string();
  }
  std::string write(const logd::event_record& record, const adapter::detail_reply* reply) {
    std::filesystem::remove(log_file(location));
    EXPECT_EQ(logd::write_log_entry(record, reply), 0);
    return entry_text();
  }

  logd::interface_entry* entry_ = nullptr;
};

TEST_F(LogEntry, TheExampleEntryIsReproducedByteForByte) {
  logd::set_dump_data_size(20);
  logd::set_error_log_size(20);
  // What the file holds when the slot goes back: the dump must be in it.
  std::string file_at_release;
  driver_.with_adapter(2, [&](fake_adapter& a) {
    a.driver_version.reset();
    a.on_release = [&](int) { file_at_release = file_text(log_file(location)); };
  });
  std::tm when{};
  when.tm_year = 2026 - 1900;
  when.tm_mon = 11;
  when.tm_mday = 7;
  when.tm_hour = 14;
  when.tm_min = 2;
  when.tm_sec = 16;
  when.tm_isdst = -1;
  const auto generated = static_cast<std::uint32_t>(std::mktime(&when));
  const auto record = make_driver_record(1234, generated, driver_data(key, 0x13121110, 44));
  const auto reply = make_reply({{3, slot_bytes()}});

  ASSERT_EQ(logd::write_log_entry(record, &reply), 0);
  const std::string file = file_text(log_file(location));
  std::string entry = file.substr(16);
  ASSERT_TRUE(std::regex_search(entry, option_data)) << entry;
  entry = std::regex_replace(entry, option_data, "OPTION DATA:        20261207 140230 517\r\n");
  const std::string golden = file_text(std::filesystem::path(KVX_TEST_DATA_DIR) / "output" / "example_entry.txt");
  ASSERT_FALSE(golden.empty());
  EXPECT_EQ(entry, golden);
  EXPECT_EQ(file.substr(0, 16), "   1       " + std::to_string(16 + golden.size() - 18) + "\r\n");
  EXPECT_EQ(logd::get_log_write_offset(entry_), static_cast<std::int32_t>(16 + golden.size() - 18));
  EXPECT_EQ(driver_.snapshot(2).released, std::vector<int>{3});
  const std::string through_dump = golden.substr(0, golden.find("\r\n\r\n\r\n\r\n--- end of log ---"));
  const std::string at_release = std::regex_replace(file_at_release.size() > 16 ? file_at_release.substr(16) : "",
                                                    option_data, "OPTION DATA:        20261207 140230 517\r\n");
  EXPECT_EQ(at_release.substr(0, through_dump.size()), through_dump);
}

TEST_F(LogEntry, ASyntheticRecordShowsNoNumberDateOrDumpAndTakesTheLowestSlot) {
  write_list("errorlog_list.txt", "0,ZERO,1\n");
  write_list("errorlevel_list.txt", "1,ONE\n");
  ASSERT_EQ(logd::load_error_list(logd::error_name_list), 0);
  ASSERT_EQ(logd::load_error_list(logd::error_level_list), 0);
  logd::set_error_log_size(4);
  const auto record = logd::make_synthetic_record(location);
  ASSERT_NE(record, nullptr);
  const auto reply = make_reply({{9, {9, 9, 9, 9}}, {5, {5, 5, 5, 5}}});
  const std::string text = write(*record, &reply);
  EXPECT_EQ(text.rfind("---- KVXWDD LOG #------ ----\r\n\r\n"
                       "EVENT LOG DATE/TIME:----/--/-- --:--:--\r\n\r\n"
                       "EVENT LOG DUMP:     UNKNOWN\r\n\r\n\r\n"
                       "ERROR NAME:         UNKNOWN\r\n"
                       "LEVEL:              UNKNOWN\r\n\r\n"
                       "BUS NUMBER:         2\r\n"
                       "DEVICE NUMBER:      1\r\n"
                       "FUNCTION NUMBER:    0\r\n\r\n"
                       "DRIVER VERSION:     2.1.4\r\n"
                       "FIRMWARE VERSION:   10.02\r\n"
                       "ADAPTER WWN:        1122334455667788\r\n",
                       0),
            0u)
      << text;
  EXPECT_NE(text.find("DETAIL DATA:\r\n---          HEX DUMP (ERRLOG:SIZE=0x0004)         ---\r\n"
                      "              :  0 1 2 3  4 5 6 7  8 9 A B  C D E F\r\n"
                      "--------------:------------------------------------\r\n"
                      "0x0000(00000) : 05050505\r\n\r\n\r\n\r\n--- end of log ---"),
            std::string::npos)
      << text;
  EXPECT_EQ(driver_.snapshot(2).released, std::vector<int>{5});
}

TEST_F(LogEntry, ASlotThatIsNotOccupiedOrAClass2RecordGivesUngettableAndReleasesNothing) {
  const std::string tail = "DETAIL DATA: UNGETTABLE\r\n\r\n\r\n\r\n\r\n--- end of log ---";
  {
    SCOPED_TRACE("key names slot 3, only slot 5 occupied");
    const auto record = make_driver_record(10, 1700000000, driver_data(key));
    const auto reply = make_reply({{5, slot_bytes()}});
    const std::string text = write(record, &reply);
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  }
  {
    SCOPED_TRACE("class 2 with its slot occupied");
    const auto record = make_driver_record(11, 1700000000, driver_data(key, 0xC0000000u));
    const auto reply = make_reply({{3, slot_bytes()}});
    const std::string text = write(record, &reply);
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(text.find("DETAIL DATA:\r\n"), std::string::npos);
  }
  {
    SCOPED_TRACE("a key slot of 16 or more");
    const auto record = make_driver_record(12, 1700000000, driver_data(0x05100208));
    const auto reply = make_reply({{0, {1}}, {15, {1}}});
    const std::string text = write(record, &reply);
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  }
  EXPECT_TRUE(driver_.snapshot(2).released.empty());
}

TEST_F(LogEntry, AMissingReplyPutsTheLastErrorAheadOfTheHeader) {
  logd::set_last_error(entry_, 0x1f);
  const auto record = make_driver_record(20, 1700000000, driver_data(key));
  const std::string text = write(record, nullptr);
  EXPECT_EQ(text.rfind("DETAIL DATA WAS UNGETTABLE.\r\nGET LAST ERROR = 001f\r\n\r\n---- KVXWDD LOG #20 ----\r\n", 0),
            0u)
      << text;
  const std::string tail = "DETAIL DATA: UNGETTABLE\r\n\r\n\r\n\r\n\r\n--- end of log ---";
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(LogEntry, DumpSizesEndTheirLinesAsTheFormatSays) {
  const std::string rule = "--------------:------------------------------------\r\n";
  struct dump_case {
    std::int32_t size;
    std::string title;
    std::string body;  ///< what follows the rule line up to "ERROR NAME:"
  };
  const std::vector<dump_case> cases = {
      {16, "SIZE=0x0010", "0x0000(00000) : 00010203 04050607 08090a0b 0c0d0e0f\r\n\r\n\r\n"},
      {20, "SIZE=0x0014", "0x0000(00000) : 00010203 04050607 08090a0b 0c0d0e0f\r\n0x0010(00016) : 00000000\r\n\r\n"},
      {0, "SIZE=0x0000", "\r\n\r\n"},
      {-20, "SIZE=0xffffffec", "\r\n\r\n"},
  };
  for (const dump_case& c : cases) {
    SCOPED_TRACE(c.size);
    logd::set_dump_data_size(c.size);
    const auto record = make_driver_record(30, 1700000000, driver_data(key));
    const auto reply = make_reply({});
    const std::string text = write(record, &reply);
    const std::string expected = "---          HEX DUMP (EVENT LOG DUMP:" + c.title +
                                 ")         ---\r\n              :  0 1 2 3  4 5 6 7  8 9 A B  C D E F\r\n" + rule +
                                 c.body + "ERROR NAME:";
    EXPECT_NE(text.find(expected), std::string::npos) << text;
  }
}

TEST_F(LogEntry, HugeSizesStopTheDumpsAtTheEndOfTheRecordAndOfTheReply) {
  logd::set_dump_data_size(100000);
  logd::set_error_log_size(0x7fffffff);
  const auto record = make_driver_record(40, 1700000000, driver_data(0x050f0208, 0, 104));
  std::vector<std::uint8_t> last_slot(1024, 0x5a);
  const auto reply = make_reply({{15, last_slot}});
  const std::string text = write(record, &reply);
  EXPECT_NE(text.find("EVENT LOG DUMP:SIZE=0x186a0"), std::string::npos);
  // The driver data runs to the end of the record: 104 bytes and the record's
  // closing length word, six full lines and one of 12 bytes, then block 4.
  EXPECT_TRUE(
      std::regex_search(text, std::regex("0x0060\\(00096\\) : 60616263 64656667 [0-9a-f]{8}\r\n\r\nERROR NAME:")))
      << text;
  EXPECT_EQ(text.substr(0, text.find("ERROR NAME:")).find("0x0070(00112)"), std::string::npos);
  // Slot 15 is the reply's last 1024 bytes: 64 lines, nothing after them.
  EXPECT_NE(text.find("ERRLOG:SIZE=0x7fffffff"), std::string::npos);
  EXPECT_NE(text.find("0x03f0(01008) : 5a5a5a5a 5a5a5a5a 5a5a5a5a 5a5a5a5a\r\n\r\n\r\n\r\n\r\n--- end of log ---"),
            std::string::npos);
  EXPECT_EQ(text.find("0x0400(01024)"), std::string::npos);
  EXPECT_EQ(driver_.snapshot(2).released, std::vector<int>{15});
}

TEST_F(LogEntry, ARecordWithoutAReadableKeyWritesNothing) {
  logd::set_unique_id_position(4000);
  const auto record = make_driver_record(50, 1700000000, driver_data(key));
  const auto reply = make_reply({{3, slot_bytes()}});
  EXPECT_EQ(logd::write_log_entry(record, &reply), 1);
  EXPECT_FALSE(std::filesystem::exists(log_file(location)));
  EXPECT_TRUE(driver_.snapshot(2).released.empty());
}

TEST_F(LogEntry, AKnownErrorWhoseLevelIsMissingShowsItsNameAndUnknown) {
  write_list("errorlog_list.txt", "5,FRAME_TIMEOUT,9\n");
  write_list("errorlevel_list.txt", "3,WARNING\n");
  ASSERT_EQ(logd::load_error_list(logd::error_name_list), 0);
  ASSERT_EQ(logd::load_error_list(logd::error_level_list), 0);
  const auto record = make_driver_record(60, 1700000000, driver_data(key));
  const std::string text = write(record, nullptr);
  EXPECT_NE(text.find("ERROR NAME:         FRAME_TIMEOUT\r\nLEVEL:              UNKNOWN\r\n\r\n"), std::string::npos);
}

TEST_F(LogEntry, TheShippedListsNameTheErrorAndItsLevel) {
  ASSERT_EQ(logd::load_error_list(logd::error_name_list), 0);
  ASSERT_EQ(logd::load_error_list(logd::error_level_list), 0);
  const auto record = make_driver_record(61, 1700000000, driver_data(0x01030208));
  const std::string text = write(record, nullptr);
  EXPECT_NE(text.find("ERROR NAME:         LINK_DOWN\r\nLEVEL:              ERROR\r\n\r\n"), std::string::npos);
}

TEST_F(LogEntry, AFailedReleaseAddsTheFelmLineRightBehindTheDump) {
  logd::set_error_log_size(20);
  driver_.with_adapter(2, [](fake_adapter& a) {
    a.release_fails = true;
    a.wwpn.reset();
  });
  const auto record = make_driver_record(70, 1700000000, driver_data(key));
  const auto reply = make_reply({{3, slot_bytes()}});
  const std::string text = write(record, &reply);
  EXPECT_NE(text.find("ADAPTER WWN:        UNGETTABLE\r\n"), std::string::npos);
  EXPECT_NE(text.find("0x0010(00016) : 01020304OPTION DATA:        FELM03\r\n\r\n\r\n\r\n\r\n--- end of log ---"),
            std::string::npos)
      << text;
}

TEST_F(LogEntry, VersionTextsAreCutAtTheirFieldsWhenTheDriverLeavesNoZeroByte) {
  driver_.with_adapter(2, [](fake_adapter& a) {
    a.driver_version = std::string(300, 'v');
    a.firmware_version = std::string(200, 'f');
  });
  const auto record = make_driver_record(80, 1700000000, driver_data(key));
  const std::string text = write(record, nullptr);
  // The driver text runs into the firmware field, which the fake writes after it.
  EXPECT_NE(text.find("DRIVER VERSION:     " + std::string(256, 'v') + "\r\n"), std::string::npos);
  EXPECT_NE(text.find("FIRMWARE VERSION:   " + std::string(152, 'f') + "\r\n"), std::string::npos);
}

TEST_F(LogEntry, TheOptionDataLineCarriesTheWritingTime) {
  const std::time_t before = std::time(nullptr);
  const auto record = make_driver_record(90, 1700000000, driver_data(key));
  const std::string text = write(record, nullptr);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, std::regex("OPTION DATA:        (\\d{8}) (\\d{6}) \\d{3}\r\n")));
  std::tm local{};
  ASSERT_NE(localtime_r(&before, &local), nullptr);
  char day[16];
  std::strftime(day, sizeof day, "%Y%m%d", &local);
  // The day may turn between the two readings only at midnight.
  const std::time_t after = std::time(nullptr);
  std::tm later{};
  ASSERT_NE(localtime_r(&after, &later), nullptr);
  char day_after[16];
  std::strftime(day_after, sizeof day_after, "%Y%m%d", &later);
  EXPECT_TRUE(m[1] == day || m[1] == day_after) << m[1];
}

}  // namespace
}  // namespace kvx::test
