// A whole watch for the tests: a simulated host with the list files and one
// adapter (port 2, location 0x020A), and worker_thread running on a thread of
// its own until stop() or the end of the test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "logd/capture/capture_life.h"
#include "logd/capture/watcher.h"
#include "platform/files.h"
#include "platform/host.h"
#include "tests/fakes/fake_driver.h"
#include "tests/fakes/temp_host.h"
#include "tests/logd/capture/capture_fixture.h"
#include "tests/support/lists.h"
#include "tests/support/poll.h"

namespace kvx::test {

class worker_harness {
 public:
  worker_harness() {
    EXPECT_TRUE(write_shipped_lists());
    add_port_map_entry(2);
    ports.add_adapter(2, 0x020A);
    logd::clear_capture_stop();
  }
  ~worker_harness() { stop(); }
  worker_harness(const worker_harness&) = delete;
  worker_harness& operator=(const worker_harness&) = delete;

  /// Starts the watch with these seams; the retry thread's start (the last
  /// step before the wait) is announced so that watching() can tell.
  void start(logd::capture_seams seams) {
    auto refused = seams.thread_start_refused;
    seams.thread_start_refused = [this, refused](const char* which) {
      const bool refuse = refused && refused(which);
      if (!refuse && std::string(which) == "retry") watching_ = true;
      return refuse;
    };
    logd::set_capture_seams(std::move(seams));
    worker_ = std::thread([this] {
      result_ = logd::worker_thread([this] { ++quits_; });
      ended_ = true;
    });
  }
  /// The change notification is registered and the notify thread runs.
  bool watching() {
    return eventually([this] { return watching_.load() || ended_.load(); }) && watching_;
  }
  bool ended() {
    return eventually([this] { return ended_.load(); });
  }
  void stop() {
    if (!worker_.joinable()) return;
    logd::stop_watch();
    worker_.join();
    logd::set_capture_seams({});
  }

  int quits() const { return quits_; }
  unsigned result() const { return result_; }

  temp_host host;
  fake_driver ports;
  platform::scoped_ports ports_guard{ports};

 private:
  std::thread worker_;
  std::atomic<bool> watching_{false};
  std::atomic<bool> ended_{false};
  std::atomic<int> quits_{0};
  unsigned result_ = 99;
};

}  // namespace kvx::test
