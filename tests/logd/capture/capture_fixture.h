// What the capture's tests share: a store with its locks and thread table, a
// fake System log, and writers whose detail request and entry writer record
// what they were given instead of talking to a driver and a log file.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "logd/capture/capture_life.h"
#include "logd/capture/interface_table.h"
#include "logd/capture/watcher.h"
#include "logd/capture/writer_thread.h"
#include "logd/driver_record.h"
#include "logd/state_store.h"
#include "platform/host.h"
#include "tests/fakes/capture_fake_event_log.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/capture_seams.h"
#include "tests/support/interface_entries.h"
#include "tests/support/store_session.h"

namespace kvx::test {

/// One write_log_entry call: the adapter location of the record's key and its number.
struct written_entry {
  std::uint16_t location = 0;
  std::uint32_t number = 0;
  bool with_reply = false;
  bool operator==(const written_entry&) const = default;
};

class recording_writer {
 public:
  /// The result of writing the record with this number (0 written).
  std::function<int(std::uint32_t)> outcome = [](std::uint32_t) { return 0; };
  /// When set, a writer waits in its detail request until release().
  void hold() {
    std::lock_guard<std::mutex> guard(lock_);
    held_ = true;
  }
  /// As hold(), but the writer stays held even when the capture halts, as one
  /// stuck inside a driver exchange would.
  void hold_through_stop() {
    std::lock_guard<std::mutex> guard(lock_);
    held_ = true;
    stubborn_ = true;
  }
  void release() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      held_ = false;
      stubborn_ = false;
    }
    changed_.notify_all();
  }
  /// Waits until `n` writers are waiting in their detail request.
  bool wait_for_waiting(int n) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(20), [&] { return waiting_ >= n; });
  }

  std::vector<written_entry> written() const {
    std::lock_guard<std::mutex> guard(lock_);
    return written_;
  }
  std::vector<std::uint32_t> written_numbers() const {
    std::vector<std::uint32_t> numbers;
    for (const written_entry& w : written()) numbers.push_back(w.number);
    return numbers;
  }
  /// Byte sizes of the driver data of the records written, in order.
  std::vector<std::size_t> written_data_sizes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return written_data_sizes_;
  }
  /// Adapter locations in the order their writers asked for detail data.
  std::vector<std::uint16_t> detail_requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return detail_requests_;
  }

  logd::capture_seams seams() {
    logd::capture_seams s;
    s.request_detail_data = [this](logd::interface_entry* entry) {
      std::unique_lock<std::mutex> guard(lock_);
      detail_requests_.push_back(static_cast<std::uint16_t>(logd::get_bus_dev_func(entry)));
      ++waiting_;
      changed_.notify_all();
      // Like the real request, a held one gives up when the capture stops.
      while (held_ && (stubborn_ || !logd::capture_stopping())) changed_.wait_for(guard, std::chrono::milliseconds(5));
      --waiting_;
      if (held_) return std::unique_ptr<adapter::detail_reply>();
      return std::make_unique<adapter::detail_reply>(adapter::detail_reply_size, 0);
    };
    s.write_log_entry = [this](const logd::driver_event& event, const adapter::detail_reply* reply) {
      const std::uint32_t number = event.number;
      const int result = outcome(number);
      if (result == 0) {
        std::lock_guard<std::mutex> guard(lock_);
        written_.push_back({logd::key_location(event.event_key.value_or(0)), number, reply != nullptr});
        written_data_sizes_.push_back(event.data.size());
      }
      return result;
    };
    return s;
  }

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool held_ = false;
  bool stubborn_ = false;
  int waiting_ = 0;
  std::vector<written_entry> written_;
  std::vector<std::size_t> written_data_sizes_;
  std::vector<std::uint16_t> detail_requests_;
};

/// A kvxwdd record of class `status` for adapter location `location`.
inline logd::driver_event record_for(std::uint32_t number, std::uint32_t key, std::uint32_t status = 0) {
  return logd::decode_driver_record(driver_record_bytes(number, driver_data_bytes(status, key)));
}

class capture_fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    logd::set_unique_id_position(40);
    logd::set_last_record_number(0);
    ASSERT_EQ(logd::build_thread_manager_table(), 0);
    logd::set_capture_seams(writer.seams());
  }
  void TearDown() override {
    writer.release();
    logd::join_writers();
    logd::set_capture_seams({});
  }

  /// An adapter entry linked at the tail, as the table build makes it.
  static logd::interface_entry* add_entry(const std::string& name, std::uint32_t location) {
    return link_entry_at_tail(name, location);
  }

  /// One pass as the worker runs it, then every writer it started has ended.
  static int pass() {
    int result = 0;
    {
      std::lock_guard<std::mutex> guard(logd::get_dispatch_lock());
      result = logd::dispatch_pass();
    }
    logd::join_writers();
    return result;
  }

  /// Record numbers in an entry's queue, head first.
  static std::vector<std::uint32_t> queued(const logd::interface_entry* e) {
    std::vector<std::uint32_t> numbers;
    for (logd::queue_node* n = logd::get_queue_head(e); n != nullptr; n = logd::get_node_next(n)) {
      numbers.push_back(logd::get_node_event(n)->number);
    }
    return numbers;
  }

  // A rescan reads the port map: from an empty host of the test's own.
  temp_host fixture_host;
  recording_writer writer;
  capture_fake_event_logs logs;
  platform::scoped_event_logs logs_guard{logs};
  store_session store;
};

}  // namespace kvx::test
