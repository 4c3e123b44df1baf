// The shared state store: initial values, a fresh adapter entry, teardown, and
// the capture's rest signal.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "logd/capture/capture_life.h"
#include "logd/capture/interface_table.h"
#include "logd/state_store.h"
#include "tests/support/poll.h"
#include "tests/support/store_session.h"

namespace kvx::logd {
namespace {

class Store : public ::testing::Test {
 protected:
  test::store_session store;
};

TEST_F(Store, AFreshEntryHasTheInitialFieldValues) {
  interface_entry* e = adopt_interface_entry(std::make_unique<interface_entry>());
  EXPECT_EQ(get_busy(e), 0);
  EXPECT_EQ(get_queue_count(e), 0);
  EXPECT_EQ(get_log_record_count(e), 0);
  EXPECT_EQ(get_last_error(e), 0);
  EXPECT_EQ(get_log_write_offset(e), 16);
  EXPECT_EQ(get_queue_head(e), nullptr);
  EXPECT_EQ(get_next(e), nullptr);
  EXPECT_EQ(get_pending_flags(e), (std::array<std::uint8_t, 2>{0, 0}));
  EXPECT_FALSE(get_removed(e));
}

TEST_F(Store, TeardownReleasesPathsListsAndEveryEntryButKeepsCounts) {
  set_error_log_file_path(std::string("D:\\logs"));
  set_errorlist_name_table(std::make_unique<std::vector<name_entry>>(3));
  set_errorlist_name_count(3);
  set_errorlist_level_table(std::make_unique<std::vector<level_entry>>(2));
  set_errorlist_level_count(2);
  interface_entry* a = adopt_interface_entry(std::make_unique<interface_entry>());
  interface_entry* b = adopt_interface_entry(std::make_unique<interface_entry>());
  set_interface_table(a);
  set_next(a, b);
  ASSERT_EQ(enqueue_record(b, driver_event{}), 0);
  ASSERT_EQ(build_thread_manager_table(), 0);
  remove_interface("");  // a and b are both named "": the first one goes
  EXPECT_EQ(get_removed_entries(), std::vector<interface_entry*>{a});

  teardown_store();
  EXPECT_FALSE(get_error_log_file_path().has_value());
  EXPECT_FALSE(get_error_log_list_path().has_value());
  EXPECT_EQ(get_errorlist_name_table(), nullptr);
  EXPECT_EQ(get_errorlist_level_table(), nullptr);
  EXPECT_EQ(get_interface_table(), nullptr);
  EXPECT_EQ(get_thread_manager_table(), nullptr);
  EXPECT_TRUE(get_removed_entries().empty());
  EXPECT_EQ(get_errorlist_name_count(), 3);
  EXPECT_EQ(get_errorlist_level_count(), 2);
}

TEST_F(Store, TeardownAfterAStartThatBuiltNothingLeavesTheTablesNone) {
  set_error_log_list_path(std::string("C:\\lists"));
  teardown_store();
  EXPECT_EQ(get_interface_table(), nullptr);
  EXPECT_EQ(get_errorlist_name_table(), nullptr);
  EXPECT_EQ(get_thread_manager_table(), nullptr);
  EXPECT_FALSE(get_error_log_list_path().has_value());
  // A second teardown finds nothing to release.
  teardown_store();
  EXPECT_EQ(get_interface_table(), nullptr);
}

TEST_F(Store, ALongQueueIsReleasedWithoutRecursion) {
  interface_entry* e = adopt_interface_entry(std::make_unique<interface_entry>());
  // Far more nodes than a queue may hold, chained by hand: teardown unwinds
  // them one by one instead of through nested destructors.
  std::unique_ptr<queue_node> head;
  for (int i = 0; i < 200000; ++i) {
    auto node = std::make_unique<queue_node>();
    node->next = std::move(head);
    head = std::move(node);
  }
  set_queue_head(e, std::move(head));
  teardown_store();
  EXPECT_EQ(get_interface_table(), nullptr);
}

TEST_F(Store, SleepUnlessStoppingEndsEarlyOnceAStopIsRequested) {
  EXPECT_TRUE(sleep_unless_stopping(1));
  EXPECT_FALSE(capture_stopping());
  const auto start = std::chrono::steady_clock::now();
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    request_capture_stop();
  });
  EXPECT_FALSE(sleep_unless_stopping(60000));
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_TRUE(capture_stopping());
  EXPECT_FALSE(sleep_unless_stopping(0));
  clear_capture_stop();
  EXPECT_TRUE(sleep_unless_stopping(0));
}

TEST_F(Store, ADrainHaltsByItselfAndAShorterBoundBringsItForward) {
  set_stop_drain_ms(60000);
  request_watch_end();
  EXPECT_EQ(get_capture_phase(), capture_phase::draining);
  EXPECT_TRUE(sleep_unless_stopping(1)) << "a busy pause goes on while the capture drains";
  EXPECT_FALSE(sleep_unless_watch_ends(60000));
  // A shutdown's shorter bound: the drain halts at nine tenths of it, with
  // nobody asking for the halt.
  request_watch_end_within(100);
  EXPECT_TRUE(test::eventually([] { return capture_stopping(); }));
  // A longer bound asked for later does not take the halt back.
  request_watch_end();
  EXPECT_EQ(get_capture_phase(), capture_phase::halting);
  clear_capture_stop();
  EXPECT_EQ(get_capture_phase(), capture_phase::running);
  set_stop_drain_ms(20000);
}

}  // namespace
}  // namespace kvx::logd
