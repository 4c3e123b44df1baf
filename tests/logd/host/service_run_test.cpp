// Running: as a plain process, as a service driven through a recording
// dispatcher session, the stop sequence and the module's own messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/service.h"
#include "tests/logd/host/service_rig.h"

namespace kvx::test {
namespace {

using std::chrono::seconds;

class Running : public service_rig {};

void expect_module_event(const reported_event& e, const char* text) {
  EXPECT_EQ(e.source, "hbalogd");
  EXPECT_EQ(e.type, win::eventlog_information_type);
  EXPECT_EQ(e.category, 0);
  EXPECT_EQ(e.event_id, 0xC0000001u);
  ASSERT_EQ(e.strings.size(), 1u);
  EXPECT_EQ(e.strings[0], text);
}

/// Registered one way, run by hand with a worker that ends at once.
struct plain_row {
  std::string name;
  const char* registration = nullptr;
  /// 1: the dispatcher was tried and found no manager behind it.
  int dispatcher_calls = 0;
};

class RunningPlain : public Running, public ::testing::WithParamInterface<plain_row> {};
// A row shows as its name, in the case's name and in a failure.
void PrintTo(const plain_row& row, std::ostream* os) { *os << row.name; }

TEST_P(RunningPlain, RunsAsAPlainProcess) {
  const plain_row& row = GetParam();
  ASSERT_EQ(module.program_entry(row.registration), 0);
  worker_ends_at_once = true;
  ::testing::internal::CaptureStdout();
  const int rc = module.program_entry("hbalogd");
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, "Service started\n");
  EXPECT_FALSE(module.service_mode());
  EXPECT_EQ(services.dispatcher_calls, row.dispatcher_calls);
  EXPECT_EQ(worker_runs, 1);
  EXPECT_TRUE(logs.reports().empty());
}

const std::vector<plain_row> plain_rows = {
    {"WithoutTheService", "hbalogd /RegServer", 0},
    {"AsAServiceTheManagerDidNotStart", "hbalogd /Service", 1},
};

INSTANTIATE_TEST_SUITE_P(Registered, RunningPlain, ::testing::ValuesIn(plain_rows),
                         [](const auto& instance) { return instance.param.name; });

/// The controls that stop a running service, and the bound of each stop they
/// ask the capture for.
struct stop_row {
  std::string name;
  std::vector<std::uint32_t> controls = {};
  /// How long the fake capture takes to bring its writers to rest.
  int drain_ms = 0;
  std::vector<std::int32_t> bounds = {};
  /// How many SERVICE_STOP_PENDING reports (the first and its checkpoints).
  std::size_t stop_pending_at_least = 1;
  std::size_t stop_pending_at_most = 100;
};

class RunningStops : public Running, public ::testing::WithParamInterface<stop_row> {};
// A row shows as its name, in the case's name and in a failure.
void PrintTo(const stop_row& row, std::ostream* os) { *os << row.name; }

TEST_P(RunningStops, ReportStopPendingWithRisingCheckpointsThenStoppedWithTheWorkerAtRest) {
  const stop_row& row = GetParam();
  worker_drain_ms = row.drain_ms;
  // What the world is like when SERVICE_STOPPED is reported (shared: a case
  // that fails early ends before its service does).
  struct at_stopped {
    bool worker_done = false;
    std::size_t events = 0;
  };
  const auto seen = std::make_shared<at_stopped>();
  session.on_report = [this, seen](const platform::service_status& s) {
    if (s.current_state != win::service_stopped) return;
    seen->worker_done = worker_returned;
    seen->events = logs.reports().size();
  };
  ASSERT_NO_FATAL_FAILURE(start_running());
  EXPECT_EQ(session.registered_name(), "hbalogd");
  EXPECT_FALSE(was_stop_asked());
  for (std::size_t i = 0; i < row.controls.size(); ++i) {
    EXPECT_TRUE(session.deliver(row.controls[i]));
    // A later control comes while the drain the first one began still runs.
    if (i + 1 < row.controls.size()) {
      EXPECT_EQ(module.status().current_state, win::service_stop_pending);
    }
  }
  ASSERT_EQ(entry.wait_for(seconds(20)), std::future_status::ready);
  EXPECT_EQ(entry.get(), 0);

  EXPECT_EQ(stop_bounds, row.bounds) << "each asked once";
  const std::vector<std::uint32_t> states = session.states();
  ASSERT_GE(states.size(), 4u);
  EXPECT_EQ(states[0], win::service_start_pending);
  EXPECT_EQ(states[1], win::service_running);
  EXPECT_EQ(states.back(), win::service_stopped);
  const auto stop_pending =
      static_cast<std::size_t>(std::count(states.begin(), states.end(), win::service_stop_pending));
  EXPECT_EQ(stop_pending, states.size() - 3) << "one SERVICE_STOP_PENDING, then only its checkpoints";
  EXPECT_GE(stop_pending, row.stop_pending_at_least);
  EXPECT_LE(stop_pending, row.stop_pending_at_most);
  std::vector<std::uint32_t> checkpoints;
  for (const platform::service_status& s : session.reports()) {
    EXPECT_EQ(s.service_type, win::service_win32_own_process);
    EXPECT_EQ(s.controls_accepted, logd::accepted_controls);
    EXPECT_EQ(s.win32_exit_code, 0u);
    if (s.current_state == win::service_stop_pending) {
      checkpoints.push_back(s.check_point);
      EXPECT_GT(s.wait_hint, 1000u) << "longer than the time between two checkpoints";
    } else {
      EXPECT_EQ(s.check_point, 0u);
    }
  }
  for (std::size_t i = 1; i < checkpoints.size(); ++i) EXPECT_GT(checkpoints[i], checkpoints[i - 1]);
  EXPECT_TRUE(seen->worker_done);
  EXPECT_EQ(seen->events, 2u) << "\"Service stopped\" must be in the log before SERVICE_STOPPED";
  const std::vector<reported_event> events = logs.reports();
  ASSERT_EQ(events.size(), 2u);
  expect_module_event(events[0], "Service started");
  expect_module_event(events[1], "Service stopped");
}

const std::vector<stop_row> stop_rows = {
    {.name = "Stop",
     .controls = {win::service_control_stop},
     .bounds = {logd::capture_own_bound},
     .stop_pending_at_most = 1},
    {.name = "StopThatTakesAWhile",
     .controls = {win::service_control_stop},
     .drain_ms = 2500,
     .bounds = {logd::capture_own_bound},
     .stop_pending_at_least = 2},
    // The preshutdown notice drains within the capture's own bound; a shutdown
    // notice while that drain runs brings the bound within the system's wait.
    {.name = "PreshutdownThenShutdown",
     .controls = {win::service_control_preshutdown, win::service_control_shutdown},
     .drain_ms = 1500,
     .bounds = {logd::capture_own_bound, logd::shutdown_drain_ms}},
    // The shutdown notice alone asks for the short bound.
    {.name = "ShutdownAlone", .controls = {win::service_control_shutdown}, .bounds = {logd::shutdown_drain_ms}},
};

INSTANTIATE_TEST_SUITE_P(Controls, RunningStops, ::testing::ValuesIn(stop_rows),
                         [](const auto& instance) { return instance.param.name; });

TEST_F(Running, AWatchThatEndsByItselfGoesFromRunningStraightToStopped) {
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  worker_ends_at_once = true;
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
  session.fail_registration = true;
  services.session = &session;
  EXPECT_EQ(module.program_entry("hbalogd"), 0);
  EXPECT_TRUE(session.states().empty());
  EXPECT_EQ(logs.texts(), std::vector<std::string>{"Handler not installed"});
  EXPECT_EQ(worker_runs, 0);
}

TEST_F(Running, ControlsOtherThanStopChangeNothingAndUnknownOnesAreLogged) {
  ASSERT_NO_FATAL_FAILURE(start_running());
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
  // ... and the stop stands: the loop's start does not report the service
  // running again, which would make its end a failure (a service-specific exit code).
  EXPECT_EQ(module.status().current_state, win::service_stop_pending);
}

TEST_F(Running, AStopAfterTheServiceHasStoppedChangesNothing) {
  ASSERT_EQ(module.program_entry("hbalogd /Service"), 0);
  worker_ends_at_once = true;
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
  ASSERT_EQ(logs.reports().size(), 1u);
  EXPECT_EQ(logs.reports()[0].strings[0], std::string(259, 'x'));

  logs.refuse_sources = true;
  module.log_event("lost");
  EXPECT_EQ(logs.reports().size(), 1u);

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
