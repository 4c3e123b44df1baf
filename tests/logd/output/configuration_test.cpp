// Reading the nine settings from the simulated registry.
#include "logd/output/configuration.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "logd/state_store.h"
#include "platform/host.h"
#include "platform/registry.h"
#include "platform/win_codes.h"
#include "tests/fakes/capture_fake_event_log.h"
#include "tests/fakes/faulty_registry.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/store_session.h"

namespace kvx::logd {
namespace {

const std::string default_log_dir = "C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\log";
const std::string default_list_dir = "C:\\Program Files\\velmora\\drivers\\hba\\hbalogd";
const char* const number_names[] = {"max_retry_count", "retry_frequency",     "unique_id_position", "dump_data_size",
                                    "error_log_size",  "max_error_log_count", "max_record_count"};

class Configuration : public ::testing::Test {
 protected:
  void SetUp() override {
    // Values left by an earlier test must not pass for defaults.
    set_max_retry_count(-5);
    set_dump_data_size(-5);
    set_error_log_file_path(std::string("stale"));
  }
  platform::unique_reg_key key() {
    platform::unique_reg_key k;
    EXPECT_EQ(platform::host_registry().create_key(platform::hive_root::local_machine, configuration_key,
                                                   win::key_all_access, k, nullptr),
              win::error_success);
    return k;
  }
  void set(const char* name, std::uint32_t type, std::vector<std::uint8_t> data) {
    ASSERT_EQ(key()->set_value(name, type, data.data(), static_cast<std::uint32_t>(data.size())), win::error_success);
  }
  void set_dword(const char* name, std::uint32_t value) {
    set(name, win::reg_dword,
        {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
         static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
  }
  void set_text(const char* name, const std::string& text, std::uint32_t type = win::reg_sz, bool with_nul = true) {
    std::vector<std::uint8_t> data(text.begin(), text.end());
    if (with_nul) data.push_back(0);
    set(name, type, data);
  }
  void set_all_valid() {
    for (const char* name : number_names) set_dword(name, 7);
    set_text("error_log_file_path", "D:\\hba\\log\\");
    set_text("error_log_list_path", "D:\\hba");
  }

  test::temp_host host;
  test::capture_fake_event_logs logs;
  platform::scoped_event_logs logs_guard{logs};
  test::store_session store;
};

TEST_F(Configuration, NoKeyGivesOneWarningAndEveryDefault) {
  EXPECT_EQ(read_configuration(), 0);
  ASSERT_EQ(
      logs.application.texts(),
      std::vector<std::string>{"Unable to open registory SOFTWARE\\Velmora\\kvxwdd\\hbalogd. Use default parameter."});
  EXPECT_EQ(logs.application.reports()[0].type, 2);
  EXPECT_EQ(get_max_retry_count(), 300);
  EXPECT_EQ(get_retry_frequency(), 1);
  EXPECT_EQ(get_unique_id_position(), 40);
  EXPECT_EQ(get_dump_data_size(), 104);
  EXPECT_EQ(get_error_log_size(), 1024);
  EXPECT_EQ(get_max_error_log_count(), 16);
  EXPECT_EQ(get_max_record_count(), 4096);
  EXPECT_EQ(get_error_log_file_path(), default_log_dir);
  EXPECT_EQ(get_error_log_list_path(), default_list_dir);
}

TEST_F(Configuration, AnEmptyKeyGivesNineWarningsInTableOrder) {
  (void)key();
  EXPECT_EQ(read_configuration(), 0);
  std::vector<std::string> expected;
  for (const char* name : number_names) {
    expected.push_back(std::string("Unable to get registory data ") + name + ". Use default parameter.");
  }
  expected.push_back("Unable to get the data size of registory error_log_file_path. Use default parameter.");
  expected.push_back("Unable to get the data size of registory error_log_list_path. Use default parameter.");
  EXPECT_EQ(logs.application.texts(), expected);
  EXPECT_EQ(get_dump_data_size(), 104);
}

TEST_F(Configuration, EveryValueOfTheRightTypeIsUsedUnchanged) {
  set_all_valid();
  set_dword("max_retry_count", 0);
  set_dword("unique_id_position", 0xFFFFFFFF);  // not bounded: -1
  set_dword("max_record_count", 0);
  EXPECT_EQ(read_configuration(), 0);
  EXPECT_TRUE(logs.application.reports().empty());
  EXPECT_EQ(get_max_retry_count(), 0);
  EXPECT_EQ(get_retry_frequency(), 7);
  EXPECT_EQ(get_unique_id_position(), -1);
  EXPECT_EQ(get_max_record_count(), 0);
  EXPECT_EQ(get_error_log_file_path(), "D:\\hba\\log\\");
  EXPECT_EQ(get_error_log_list_path(), "D:\\hba");
}

TEST_F(Configuration, WrongTypesKeepTheDefaultWithTheWarningTheQueryGives) {
  set_all_valid();
  set_text("dump_data_size", "12");                                   // REG_SZ that fits 4 bytes
  set("max_record_count", win::reg_qword, {1, 0, 0, 0, 0, 0, 0, 0});  // 8 bytes: the query fails
  set("error_log_size", win::reg_dword, {1, 2});                      // a DWORD of 2 bytes
  set_text("error_log_file_path", "D:\\expand", win::reg_expand_sz);
  EXPECT_EQ(read_configuration(), 0);
  EXPECT_EQ(logs.application.texts(),
            (std::vector<std::string>{"The type of registory dump_data_size is wrong. Use default parameter.",
                                      "The type of registory error_log_size is wrong. Use default parameter.",
                                      "Unable to get registory data max_record_count. Use default parameter.",
                                      "The type of registory error_log_file_path is wrong. Use default parameter."}));
  EXPECT_EQ(get_dump_data_size(), 104);
  EXPECT_EQ(get_max_record_count(), 4096);
  EXPECT_EQ(get_error_log_size(), 1024);
  EXPECT_EQ(get_error_log_file_path(), default_log_dir);
  EXPECT_EQ(get_error_log_list_path(), "D:\\hba");
}

TEST_F(Configuration, ATextWithoutItsNulIsTerminatedByTheExtraByte) {
  set_all_valid();
  set_text("error_log_list_path", "E:\\lists", win::reg_sz, false);
  EXPECT_EQ(read_configuration(), 0);
  EXPECT_TRUE(logs.application.reports().empty());
  EXPECT_EQ(get_error_log_list_path(), "E:\\lists");
}

TEST_F(Configuration, ADirectoryTooLongForThePathBuffersIsRefused) {
  set_all_valid();
  // "dir\kvx0000.log" must stay below 256 characters: 243 + 1 + 11 = 255 fits.
  const std::string longest_log_dir = "D:\\" + std::string(240, 'l');
  set_text("error_log_file_path", longest_log_dir);
  set_text("error_log_list_path", "D:\\" + std::string(234, 'm'));  // 237 + 1 + 19 = 257
  EXPECT_EQ(read_configuration(), 0);
  EXPECT_EQ(get_error_log_file_path(), longest_log_dir);
  EXPECT_EQ(get_error_log_list_path(), default_list_dir);
  EXPECT_EQ(logs.application.texts(),
            std::vector<std::string>{"The registory error_log_list_path is too long. Use default parameter."});

  set_text("error_log_file_path", longest_log_dir + "x");
  EXPECT_EQ(read_configuration(), 0);
  EXPECT_EQ(get_error_log_file_path(), default_log_dir);
}

TEST_F(Configuration, ADataQueryThatFailsAfterTheSizeQueryKeepsTheDefault) {
  set_all_valid();
  test::faulty_registry faulty;
  faulty.fail_data_query_of = "error_log_file_path";
  faulty.data_query_error = win::error_more_data;  // the value grew between the two queries
  platform::scoped_registry guard(faulty);
  EXPECT_EQ(read_configuration(), 0);
  EXPECT_EQ(logs.application.texts(),
            std::vector<std::string>{"Unable to get registory data error_log_file_path. Use default parameter."});
  EXPECT_EQ(get_error_log_file_path(), default_log_dir);
  EXPECT_EQ(get_error_log_list_path(), "D:\\hba");
  EXPECT_EQ(faulty.keys_opened.load(), 1);
  EXPECT_EQ(faulty.keys_closed.load(), 1);
}

}  // namespace
}  // namespace kvx::logd
