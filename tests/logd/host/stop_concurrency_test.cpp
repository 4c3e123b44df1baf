// The stop sequence under threads: the dispatcher thread's stop request
// racing the worker's own end and the run loop's start, many times over.
// Run under TSan (label concurrency).
#include <gtest/gtest.h>

#include <future>
#include <random>
#include <thread>

#include "platform/service.h"
#include "tests/logd/host/service_rig.h"

namespace kvx::test {
namespace {

class StopRace : public service_rig {};

TEST_F(StopRace, EveryRunEndsStoppedWithItsWorkerJoined) {
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  std::mt19937 random(12345);
  for (int round = 0; round < 40; ++round) {
    {
      const std::lock_guard<std::mutex> hold(worker_lock);
      stop_asked = false;
    }
    worker_returned = false;
    worker_ends_at_once = round % 4 == 3;  // now and then the watch ends by itself
    recording_session round_session;
    services.session = &round_session;
    const int delay_us = static_cast<int>(random() % 2000);
    std::future<int> round_entry = start_entry();
    // The stop comes from another thread at any moment after the handler exists.
    std::thread dispatcher([&] {
      while (!round_session.deliver(win::service_control_interrogate)) std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
      round_session.deliver(win::service_control_stop);
    });
    ASSERT_EQ(round_entry.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "round " << round;
    const int rc = round_entry.get();
    if (worker_ends_at_once) {
      // Ended by itself before the stop came: a failed service; else stopped.
      EXPECT_TRUE(rc == 0 || rc == static_cast<int>(win::error_service_specific_error))
          << "round " << round << ": " << rc;
    } else {
      EXPECT_EQ(rc, 0) << "round " << round;
    }
    dispatcher.join();
    const std::vector<std::uint32_t> states = round_session.states();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.front(), win::service_start_pending);
    EXPECT_EQ(states.back(), win::service_stopped) << "round " << round;
    EXPECT_TRUE(worker_returned) << "round " << round;
  }
  EXPECT_EQ(worker_runs, 40);
  services.session = nullptr;
}

}  // namespace
}  // namespace kvx::test
