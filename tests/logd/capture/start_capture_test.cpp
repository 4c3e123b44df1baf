// The start-up sequence on a simulated host: configuration, starting point,
// adapter table, lists and thread table.
#include <gtest/gtest.h>

#include <fstream>

#include "logd/capture/watcher.h"
#include "platform/files.h"
#include "platform/host.h"
#include "tests/fakes/fake_driver.h"
#include "tests/fakes/temp_host.h"
#include "tests/logd/capture/capture_fixture.h"
#include "tests/support/lists.h"

namespace kvx::logd {
namespace {

class StartCapture : public test::capture_fixture {
 protected:
  void SetUp() override {
    capture_fixture::SetUp();
    // The thread table is start_capture's to build.
    set_thread_manager_table(nullptr);
    EXPECT_TRUE(test::write_shipped_lists());
    test::add_port_map_entry(2);
    ports.add_adapter(2, 0x020A);
  }
  std::uint32_t last() const { return static_cast<std::uint32_t>(get_last_record_number()); }

  test::temp_host host;
  test::fake_driver ports;
  platform::scoped_ports ports_guard{ports};
};

TEST_F(StartCapture, AStartTakesTheNewestRecordAndBuildsEveryTable) {
  for (int i = 0; i < 500; ++i) logs.append_other("disk");
  ASSERT_EQ(start_capture(), 0);
  EXPECT_EQ(last(), 500u);
  ASSERT_NE(get_interface_table(), nullptr);
  EXPECT_EQ(get_symbolic_link_name(get_interface_table()), "\\\\.\\scsi2");
  EXPECT_EQ(get_errorlist_name_count(), 1);
  EXPECT_EQ(get_errorlist_level_count(), 1);
  ASSERT_NE(get_thread_manager_table(), nullptr);
  EXPECT_EQ(find_free_slot(), &get_thread_manager_table()->at(0));
}

TEST_F(StartCapture, AnEmptyLogStartingAt1HasItsFirstRecordDispatched) {
  ASSERT_EQ(newest_record_number(), 0);
  ASSERT_EQ(start_capture(), 0);
  EXPECT_EQ(last(), 0u);
  logs.append_driver(0, 0x020A);
  {
    std::lock_guard<std::mutex> guard(get_dispatch_lock());
    EXPECT_EQ(dispatch_pass(), pass_result::done);
  }
  join_writers();
  EXPECT_EQ(writer.written_numbers(), std::vector<std::uint32_t>{1});
}

TEST_F(StartCapture, ARescanFindsAnAdapterThatAppearedAfterTheStart) {
  ASSERT_EQ(start_capture(), 0);
  test::add_port_map_entry(6);
  ports.add_adapter(6, 0x0000060A);
  logs.append_driver(0, 0x0102060A);
  {
    std::lock_guard<std::mutex> guard(get_dispatch_lock());
    EXPECT_EQ(dispatch_pass(), pass_result::done);
  }
  join_writers();
  EXPECT_EQ(writer.written(), (std::vector<test::written_entry>{{0x060A, 1, true}}));
  EXPECT_EQ(get_symbolic_link_name(last_interface()), "\\\\.\\scsi6");
}

TEST_F(StartCapture, ALogThatCannotBeAskedFailsTheStartBeforeAnyTable) {
  logs.fail_open = true;
  EXPECT_EQ(start_capture(), 1);
  EXPECT_EQ(get_interface_table(), nullptr);
  EXPECT_EQ(get_thread_manager_table(), nullptr);
}

TEST_F(StartCapture, AMissingListFailsTheStart) {
  std::filesystem::remove(
      platform::native_path("C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\errorlevel_list.txt"));
  EXPECT_EQ(start_capture(), 1);
  EXPECT_EQ(get_thread_manager_table(), nullptr);
}

}  // namespace
}  // namespace kvx::logd
