// Running: as a plain process, as a service driven through a recording
// dispatcher session, the stop sequence and the module's own messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

#include "platform/service.h"
#include "tests/logd/host/service_rig.h"

namespace kvx::test {
namespace {

using std::chrono::seconds;

class Running : public service_rig {
 protected:
  /// program_entry on its own thread (the dispatcher blocks it as on Windows).
  std::future<int> start_entry(const char* command_line) {
    return std::async(std::launch::async, [this, command_line] { return module.program_entry(command_line); });
  }
};

void expect_module_event(const recorded_event& e, const char* text) {
  EXPECT_EQ(e.source, "hbalogd");
  EXPECT_EQ(e.type, win::eventlog_information_type);
  EXPECT_EQ(e.category, 0);
  EXPECT_EQ(e.event_id, 0xC0000001u);
  ASSERT_EQ(e.strings.size(), 1u);
  EXPECT_EQ(e.strings[0], text);
}

TEST_F(Running, RegisteredWithoutTheServiceItRunsAsAPlainProcess) {
  ASSERT_EQ(module.program_entry("hbalogd /RegServer"), 0);
  worker_ends_at_once = true;
  ::testing::internal::CaptureStdout();
  const int rc = module.program_entry("hbalogd");
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, "Service started\n");
  EXPECT_FALSE(module.service_mode());
  EXPECT_EQ(services.dispatcher_calls, 0);
  EXPECT_EQ(worker_runs, 1);
  EXPECT_TRUE(logs.events().empty());
}

TEST_F(Running, AServiceThatTheManagerDidNotStartRunsAsAPlainProcess) {
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  worker_ends_at_once = true;
  ::testing::internal::CaptureStdout();
  const int rc = module.program_entry("hbalogd");
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(services.dispatcher_calls, 1);
  EXPECT_FALSE(module.service_mode());
  EXPECT_EQ(out, "Service started\n");
  EXPECT_TRUE(logs.events().empty());
}

TEST_F(Running, AStopRequestReportsStopPendingThenStoppedWithTheWorkerAtRest) {
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  recording_session session;
  bool worker_done_when_stopped = false;
  std::size_t events_when_stopped = 0;
  session.on_report = [&](const platform::service_status& s) {
    if (s.current_state != win::service_stopped) return;
    worker_done_when_stopped = worker_returned;
    events_when_stopped = logs.events().size();
  };
  services.session = &session;
  std::future<int> entry = start_entry("hbalogd");
  ASSERT_TRUE(session.wait_for_state(win::service_running, 10000));
  EXPECT_EQ(session.registered_name(), "hbalogd");
  EXPECT_FALSE(was_stop_asked());
  EXPECT_TRUE(session.deliver(win::service_control_stop));
  ASSERT_EQ(entry.wait_for(seconds(10)), std::future_status::ready);
  EXPECT_EQ(entry.get(), 0);

  const std::vector<std::uint32_t> expected{win::service_start_pending, win::service_running, win::service_stop_pending,
                                            win::service_stopped};
  EXPECT_EQ(session.states(), expected);
  for (const platform::service_status& s : session.reports()) {
    EXPECT_EQ(s.service_type, win::service_win32_own_process);
    EXPECT_EQ(s.controls_accepted, logd::accepted_controls);
    EXPECT_EQ(s.win32_exit_code, 0u);
  }
  EXPECT_EQ(stop_bounds, std::vector<std::int32_t>{logd::capture_own_bound}) << "asked once";
  EXPECT_TRUE(worker_done_when_stopped);
  EXPECT_EQ(events_when_stopped, 2u) << "\"Service stopped\" must be in the log before SERVICE_STOPPED";
  const std::vector<recorded_event> events = logs.events();
  ASSERT_EQ(events.size(), 2u);
  expect_module_event(events[0], "Service started");
  expect_module_event(events[1], "Service stopped");
}

TEST_F(Running, AStopThatTakesAWhileReportsRisingCheckpointsWithAWaitHint) {
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  worker_drain_ms = 2500;
  recording_session session;
  services.session = &session;
  std::future<int> entry = start_entry("hbalogd");
  ASSERT_TRUE(session.wait_for_state(win::service_running, 10000));
  EXPECT_TRUE(session.deliver(win::service_control_stop));
  ASSERT_EQ(entry.wait_for(seconds(20)), std::future_status::ready);
  std::vector<std::uint32_t> checkpoints;
  for (const platform::service_status& s : session.reports()) {
    if (s.current_state == win::service_stop_pending) {
      checkpoints.push_back(s.check_point);
      EXPECT_GT(s.wait_hint, 1000u) << "longer than the time between two checkpoints";
    } else {
      EXPECT_EQ(s.check_point, 0u);
    }
  }
  ASSERT_GE(checkpoints.size(), 2u);
  for (std::size_t i = 1; i < checkpoints.size(); ++i) EXPECT_GT(checkpoints[i], checkpoints[i - 1]);
  EXPECT_EQ(session.states().back(), win::service_stopped);
}

TEST_F(Running, AShutdownNoticeStopsTheServiceAsAStopDoesWithinTheSystemsWait) {
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  worker_drain_ms = 1500;
  recording_session session;
  services.session = &session;
  std::future<int> entry = start_entry("hbalogd");
  ASSERT_TRUE(session.wait_for_state(win::service_running, 10000));
  // The preshutdown notice drains within the capture's own bound; a shutdown
  // notice while that drain runs brings the bound within the system's wait.
  EXPECT_TRUE(session.deliver(win::service_control_preshutdown));
  EXPECT_EQ(module.status().current_state, win::service_stop_pending);
  EXPECT_TRUE(session.deliver(win::service_control_shutdown));
  ASSERT_EQ(entry.wait_for(seconds(20)), std::future_status::ready);
  EXPECT_EQ(stop_bounds, (std::vector<std::int32_t>{logd::capture_own_bound, logd::shutdown_drain_ms}));
  const std::vector<std::uint32_t> states = session.states();
  ASSERT_GE(states.size(), 4u);
  EXPECT_EQ(std::count(states.begin(), states.end(), win::service_stop_pending),
            static_cast<std::ptrdiff_t>(states.size()) - 3)
      << "one SERVICE_STOP_PENDING, then only its checkpoints";
  EXPECT_EQ(states.back(), win::service_stopped);
  EXPECT_EQ(logs.texts(), (std::vector<std::string>{"Service started", "Service stopped"}));
  // The shutdown notice alone asks for the short bound.
  {
    const std::lock_guard<std::mutex> hold(worker_lock);
    stop_asked = false;
    stop_bounds.clear();
  }
  worker_drain_ms = 0;
  recording_session again;
  services.session = &again;
  entry = start_entry("hbalogd");
  ASSERT_TRUE(again.wait_for_state(win::service_running, 10000));
  EXPECT_TRUE(again.deliver(win::service_control_shutdown));
  ASSERT_EQ(entry.wait_for(seconds(20)), std::future_status::ready);
  EXPECT_EQ(stop_bounds, std::vector<std::int32_t>{logd::shutdown_drain_ms});
  EXPECT_EQ(again.states().back(), win::service_stopped);
}

TEST_F(Running, AWatchThatEndsByItselfGoesFromRunningStraightToStopped) {
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  worker_ends_at_once = true;
  recording_session session;
  services.session = &session;
  // The watch ends by itself only on a failure: the manager hears of it.
  EXPECT_EQ(module.program_entry("hbalogd"), static_cast<int>(win::error_service_specific_error));
  const std::vector<std::uint32_t> expected{win::service_start_pending, win::service_running, win::service_stopped};
  EXPECT_EQ(session.states(), expected);
  EXPECT_EQ(session.reports().back().win32_exit_code, win::error_service_specific_error);
  EXPECT_EQ(session.reports().back().service_specific_exit_code, 1u);
  EXPECT_EQ(logs.texts(), (std::vector<std::string>{"Service started", "Service stopped"}));
  EXPECT_FALSE(was_stop_asked()) << "a worker that ended by itself is not asked to stop";
}

TEST_F(Running, WithoutAControlHandlerTheServiceDoesNotRun) {
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  recording_session session;
  session.fail_registration = true;
  services.session = &session;
  EXPECT_EQ(module.program_entry("hbalogd"), 0);
  EXPECT_TRUE(session.states().empty());
  EXPECT_EQ(logs.texts(), std::vector<std::string>{"Handler not installed"});
  EXPECT_EQ(worker_runs, 0);
}

TEST_F(Running, ControlsOtherThanStopChangeNothingAndUnknownOnesAreLogged) {
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  recording_session session;
  services.session = &session;
  std::future<int> entry = start_entry("hbalogd");
  ASSERT_TRUE(session.wait_for_state(win::service_running, 10000));
  for (const std::uint32_t code :
       {win::service_control_pause, win::service_control_continue, win::service_control_interrogate}) {
    EXPECT_TRUE(session.deliver(code));
  }
  EXPECT_EQ(logs.texts(), std::vector<std::string>{"Service started"});
  EXPECT_TRUE(session.deliver(0));
  EXPECT_TRUE(session.deliver(200));
  EXPECT_EQ(session.states().size(), 2u);
  EXPECT_EQ(module.status().current_state, win::service_running);
  EXPECT_FALSE(was_stop_asked());
  EXPECT_TRUE(session.deliver(win::service_control_stop));
  ASSERT_EQ(entry.wait_for(seconds(10)), std::future_status::ready);
  EXPECT_EQ(logs.texts(), (std::vector<std::string>{"Service started", "Bad service request", "Bad service request",
                                                    "Service stopped"}));
}

TEST_F(Running, AStopThatArrivesBeforeTheRunLoopIsKept) {
  // The handler can run before the service thread has made its queue: the quit
  // it posts must still end the loop that follows.
  module.set_service_status(win::service_start_pending);  // as service_main leaves it, no handle yet
  module.service_control_handler(win::service_control_stop);
  EXPECT_EQ(module.status().current_state, win::service_stop_pending);
  std::future<void> run = std::async(std::launch::async, [this] { module.run_service(); });
  ASSERT_EQ(run.wait_for(seconds(10)), std::future_status::ready);
  EXPECT_EQ(worker_runs, 1);
  EXPECT_TRUE(was_stop_asked());
  EXPECT_TRUE(worker_returned);
}

TEST_F(Running, AStopAfterTheServiceHasStoppedChangesNothing) {
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  worker_ends_at_once = true;
  recording_session session;
  services.session = &session;
  ASSERT_EQ(module.program_entry("hbalogd"), static_cast<int>(win::error_service_specific_error));
  ASSERT_EQ(session.states().back(), win::service_stopped);
  EXPECT_TRUE(session.deliver(win::service_control_stop));
  EXPECT_EQ(session.states().back(), win::service_stopped);
  EXPECT_EQ(module.status().current_state, win::service_stopped);
}

TEST_F(Running, ModuleMessagesAreCutTo259Characters) {
  const std::string long_text(400, 'x');
  module.log_event("%s", long_text.c_str());
  ASSERT_EQ(logs.events().size(), 1u);
  EXPECT_EQ(logs.events()[0].strings[0], std::string(259, 'x'));

  logs.refuse_sources = true;
  module.log_event("lost");
  EXPECT_EQ(logs.events().size(), 1u);

  ASSERT_EQ(module.program_entry("hbalogd /RegServer"), 0);
  worker_ends_at_once = true;
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(module.program_entry("hbalogd"), 0);  // plain mode from here on
  module.log_event("%s", long_text.c_str());
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Service started\n" + std::string(259, 'x') + "\n");
}

TEST_F(Running, TheServiceNameIsCutTo256Characters) {
  module.init(std::string(300, 'n'), rig_program_path);
  EXPECT_EQ(module.service_name(), std::string(256, 'n'));
}

}  // namespace
}  // namespace kvx::test
