// hbalogd and simhost as programs on a throw-away simulated host: register,
// start, inject a driver error, stop, and the ways a start or a run can go.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/service.h"
#include "platform/sim/event_log_file.h"
#include "platform/sim/service_state.h"
#include "platform/win_codes.h"
#include "tests/fakes/adapter_simulator.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/poll.h"
#include "tests/support/process.h"

namespace kvx::test {
namespace {

const std::string hbalogd = built_program("logd/host/hbalogd").string();

/// Whether the simulator's adapter has had the startup scan's two exchanges
/// (its PCI location, then ERRLOG): the watch has taken the log as seen.
bool startup_scan_done(running_simulator& simulator) {
  const std::string status = simulator.control({"status"}).out;
  const std::size_t at = status.find("exchanges: ");
  return at != std::string::npos && std::atoi(status.c_str() + at + 11) >= 2;
}
const std::string simhost = built_program("simhost/simhost").string();

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ServiceEndToEnd : public ::testing::Test {
 protected:
  void install_lists() {
    const command_result r =
        run_command({"/bin/bash", KVX_SOURCE_DIR "/scripts/sim-install", "--host-root", host.root().string()});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  command_result net(const char* verb) { return run_command({simhost, "net", verb, "hbalogd"}); }

  std::string sc_query() { return run_command({simhost, "sc", "query", "hbalogd"}).out; }

  bool state_is(const char* state_line) { return contains(sc_query(), state_line); }

  /// The module's and the capture's own events in the Application log, as "source: text".
  std::vector<std::string> application_events() {
    std::vector<sim::event_record> records;
    EXPECT_EQ(sim::read_event_log("Application", records), 0);
    std::vector<std::string> out;
    for (const sim::event_record& r : records) {
      out.push_back(r.source_name + ": " + (r.strings.empty() ? std::string() : r.strings[0]));
    }
    return out;
  }

  std::vector<sim::event_record> module_events() {
    std::vector<sim::event_record> records;
    EXPECT_EQ(sim::read_event_log("Application", records), 0);
    std::vector<sim::event_record> out;
    for (const sim::event_record& r : records) {
      if (r.source_name == "hbalogd") out.push_back(r);
    }
    return out;
  }

  std::string history() {
    std::ifstream in(sim::service_directory("hbalogd") / "history");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string log_file(const char* name) {
    std::ifstream in(host.root() / "drive_c/Program Files/velmora/drivers/hba/hbalogd/log" / name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  void stop_and_check() {
    const command_result stop = net("stop");
    EXPECT_EQ(stop.status, 0) << stop.out << stop.err;
    EXPECT_TRUE(contains(stop.out, "The hbalogd service was stopped successfully.")) << stop.out;
  }

  /// True once the port has at most `left` busy answers to give.
  static bool busy_left(running_simulator& simulator, unsigned left) {
    return eventually(
        [&] {
          const std::string status = simulator.control({"status"}).out;
          const std::size_t at = status.find("busy answers left: ");
          return at != std::string::npos && std::strtoul(status.c_str() + at + 19, nullptr, 10) <= left;
        },
        std::chrono::seconds(20));
  }

  /// Injects a driver error on port 2 and gives the number of its System record (-1 when none).
  static int inject(running_simulator& simulator, int slot) {
    const simulator::control_reply reply =
        simulator.control({"inject", "--port", "2", "--error", "3", "--slot", std::to_string(slot)});
    const std::size_t at = reply.out.find("System record ");
    EXPECT_NE(at, std::string::npos) << reply.out << reply.err;
    return at == std::string::npos ? -1 : std::atoi(reply.out.c_str() + at + 14);
  }

  static std::string head_of(int record) { return "---- KVXWDD LOG #" + std::to_string(record) + " ----"; }

  /// Waits until the running service's watch is up: its startup scan is done
  /// and a first record has been logged, after which the port is quiet.
  void wait_until_watching(running_simulator& simulator) {
    // The watch has taken the log's newest record as its start once the
    // startup scan has asked the port for its PCI location and ERRLOG: a
    // record written before that is not the service's.
    ASSERT_TRUE(eventually([&] { return startup_scan_done(simulator); }));
    const int first = inject(simulator, 4);
    ASSERT_TRUE(eventually(
        [&] {
          const std::string status = simulator.control({"status"}).out;
          return contains(log_file("kvx0200.log"), head_of(first)) &&
                 contains(status, "open handles: 0 shared, 0 exclusive") && contains(status, "occupied slots: none");
        },
        std::chrono::seconds(20)))
        << log_file("kvx0200.log") << testing::PrintToString(application_events());
  }

  /// Ten records for the adapter on port 2 while the driver answers `busy`
  /// exchanges busy (one retry a second): the first record's writer retries,
  /// the nine others come while it does, and the pass that reads them waits
  /// for that writer. Returns their numbers a second into the retries.
  std::vector<int> records_in_flight(running_simulator& simulator, unsigned busy) {
    simulator.control({"busy", "--port", "2", "--count", std::to_string(busy)});
    std::vector<int> records{inject(simulator, 0)};
    EXPECT_TRUE(busy_left(simulator, busy - 1)) << "the first record's writer is retrying";
    for (int slot = 1; slot < 10; ++slot) records.push_back(inject(simulator, slot));
    EXPECT_TRUE(busy_left(simulator, busy - 2)) << "a second later";
    return records;
  }

  /// What became of each record: an entry, or one report that the stop came
  /// first, never both and never twice. Gives the number of records reported.
  int account_for(const std::vector<int>& records) {
    const std::string file = log_file("kvx0200.log");
    const std::vector<std::string> events = application_events();
    int reported = 0;
    for (const int n : records) {
      const std::string report = "Hbalogd: The eventlog record " + std::to_string(n) +
                                 " of the adapter at location 0200 is not logged: the service stopped before it "
                                 "was written.";
      const auto reports = std::count(events.begin(), events.end(), report);
      std::size_t entries = 0;
      for (std::size_t at = file.find(head_of(n)); at != std::string::npos; at = file.find(head_of(n), at + 1)) {
        ++entries;
      }
      EXPECT_EQ(entries + static_cast<std::size_t>(reports), 1u)
          << "record " << n << ": " << entries << " entries, " << reports << " reports\n"
          << testing::PrintToString(events);
      reported += static_cast<int>(reports);
    }
    return reported;
  }

  temp_host host;
};

TEST_F(ServiceEndToEnd, RegisteredStartedFedAndStopped) {
  install_lists();
  running_simulator simulator("[adapter]\nport = 2\n");
  ASSERT_TRUE(simulator.started());
  const command_result reg = run_command({hbalogd, "/Service"});
  ASSERT_EQ(reg.status, 0) << reg.out << reg.err;
  EXPECT_TRUE(contains(run_command({simhost, "sc", "qc", "hbalogd"}).out, "BINARY_PATH_NAME   : \"" + hbalogd + "\""));

  const command_result start = net("start");
  ASSERT_EQ(start.status, 0) << start.out << start.err;
  EXPECT_EQ(start.out, "The hbalogd service is starting.\nThe hbalogd service was started successfully.\n\n");
  EXPECT_TRUE(state_is("STATE              : 4  RUNNING")) << sc_query();
  ASSERT_TRUE(eventually([&] { return !module_events().empty(); }));
  const sim::event_record started = module_events().front();
  EXPECT_EQ(started.event_type, win::eventlog_information_type);
  EXPECT_EQ(started.event_id, 0xC0000001u);
  EXPECT_EQ(started.event_category, 0);
  EXPECT_EQ(started.strings, std::vector<std::string>{"Service started"});

  // A driver error becomes the first entry of the adapter's log file.
  simulator.control({"inject", "--port", "2", "--error", "3", "--slot", "1"});
  ASSERT_TRUE(eventually([&] { return log_file("kvx0200.log").rfind("   1 ", 0) == 0; }, std::chrono::seconds(20)))
      << log_file("kvx0200.log") << "\n"
      << testing::PrintToString(application_events());

  stop_and_check();
  const std::string query = sc_query();
  EXPECT_TRUE(contains(query, "STATE              : 1  STOPPED")) << query;
  EXPECT_TRUE(contains(query, "WIN32_EXIT_CODE    : 0  (0x0)")) << query;
  EXPECT_EQ(history(),
            "state 2 win32_exit_code 0\nstate 2 win32_exit_code 0\nstate 4 win32_exit_code 0\n"
            "state 3 win32_exit_code 0\nstate 1 win32_exit_code 0\n");
  const std::vector<sim::event_record> events = module_events();
  ASSERT_EQ(events.size(), 2u) << testing::PrintToString(application_events());
  EXPECT_EQ(events[1].strings, std::vector<std::string>{"Service stopped"});
  EXPECT_EQ(events[1].event_type, win::eventlog_information_type);
  EXPECT_EQ(events[1].event_id, 0xC0000001u);
  sim::service_record record;
  ASSERT_TRUE(sim::read_service_record(sim::service_directory("hbalogd"), record));
  EXPECT_FALSE(sim::process_alive(record.process)) << "net stop returns once the service process has ended";
}

TEST_F(ServiceEndToEnd, AWatchThatFailsAtStartLeavesItsErrorBetweenStartedAndStopped) {
  // No list files: the watch ends at once.
  ASSERT_EQ(run_command({hbalogd, "-Service"}).status, 0);
  const command_result start = net("start");
  EXPECT_TRUE(start.status == 0 || contains(start.err, "A service specific error occurred: 1.")) << start.err;
  ASSERT_TRUE(eventually([&] { return state_is("STATE              : 1  STOPPED"); })) << sc_query();
  // Not a clean end: the manager (and setup, which checks it) is told so.
  EXPECT_TRUE(contains(sc_query(), "WIN32_EXIT_CODE    : 1066  (0x42a)")) << sc_query();
  EXPECT_TRUE(contains(sc_query(), "SERVICE_EXIT_CODE  : 1  (0x1)")) << sc_query();
  const std::vector<std::string> events = application_events();
  const auto at = [&](const std::string& e) { return std::find(events.begin(), events.end(), e) - events.begin(); };
  const auto started = at("hbalogd: Service started");
  const auto failed =
      at("Hbalogd: Unable to open file \"C:\\Program Files\\velmora\\drivers\\hba\\hbalogd\\errorlog_list.txt\"");
  const auto stopped = at("hbalogd: Service stopped");
  const auto end = static_cast<std::ptrdiff_t>(events.size());
  ASSERT_LT(stopped, end) << testing::PrintToString(events);
  ASSERT_LT(failed, end) << testing::PrintToString(events);
  EXPECT_LT(started, failed);
  EXPECT_LT(failed, stopped);
}

TEST_F(ServiceEndToEnd, PlainRunsOutsideTheServiceManager) {
  install_lists();
  const command_result never = run_command({hbalogd});
  EXPECT_EQ(never.status, static_cast<int>(win::error_file_not_found));
  EXPECT_EQ(never.out, "");

  // Registered without the service, it runs the watch and reports to standard
  // output; it runs until it is ended.
  ASSERT_EQ(run_command({hbalogd, "/RegServer"}).status, 0);
  command_result plain = run_command({hbalogd}, 1500);
  EXPECT_EQ(plain.status, 128 + SIGKILL);
  EXPECT_EQ(plain.out, "Service started\n");

  // Registered as the service but started by hand: the dispatcher refuses, and
  // it runs as a plain process all the same.
  ASSERT_EQ(run_command({hbalogd, "/Service"}).status, 0);
  plain = run_command({hbalogd, "/Service", "/x"}, 1500);
  EXPECT_EQ(plain.status, 128 + SIGKILL);
  EXPECT_EQ(plain.out, "Service started\n");
  EXPECT_TRUE(contains(sc_query(), "WIN32_EXIT_CODE    : 1077")) << sc_query();
  EXPECT_TRUE(module_events().empty());
}

TEST_F(ServiceEndToEnd, NetCommandsReportWhatCannotBeDone) {
  install_lists();
  command_result r = net("start");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(r.err, "The service name is invalid.")) << r.err;
  r = run_command({simhost, "sc", "query", "hbalogd"});
  EXPECT_EQ(r.status, static_cast<int>(win::error_service_does_not_exist & 0xFF));
  EXPECT_TRUE(contains(r.out, "FAILED 1060")) << r.out;

  ASSERT_EQ(run_command({hbalogd, "/Service"}).status, 0);
  r = net("stop");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(r.err, "The hbalogd service is not started.")) << r.err;
  ASSERT_EQ(net("start").status, 0);
  r = net("start");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(contains(r.err, "The requested service has already been started.")) << r.err;
  stop_and_check();
  EXPECT_EQ(run_command({simhost, "net", "pause", "hbalogd"}).status, 1);
}

TEST_F(ServiceEndToEnd, AServiceProcessThatDiesIsStoppedAndCanBeStartedAgain) {
  install_lists();
  ASSERT_EQ(run_command({hbalogd, "/Service"}).status, 0);
  ASSERT_EQ(net("start").status, 0);
  sim::service_record record;
  ASSERT_TRUE(sim::read_service_record(sim::service_directory("hbalogd"), record));
  ASSERT_EQ(::kill(static_cast<pid_t>(record.process.pid), SIGKILL), 0);
  ASSERT_TRUE(eventually([&] { return state_is("STATE              : 1  STOPPED"); })) << sc_query();
  EXPECT_TRUE(contains(sc_query(), "WIN32_EXIT_CODE    : 1067  (0x42b)")) << sc_query();
  const command_result again = net("start");
  EXPECT_EQ(again.status, 0) << again.err;
  stop_and_check();
}

TEST_F(ServiceEndToEnd, ReRegisteringTheRunningServiceLeavesOneThatStarts) {
  // What an upgrade does: /Service over the service while it runs.
  install_lists();
  ASSERT_EQ(run_command({hbalogd, "/Service"}).status, 0);
  ASSERT_EQ(net("start").status, 0);
  sim::service_record old_run;
  ASSERT_TRUE(sim::read_service_record(sim::service_directory("hbalogd"), old_run));
  const command_result again = run_command({hbalogd, "/Service"});
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(again.err, "") << "no message box";
  EXPECT_FALSE(sim::process_alive(old_run.process)) << "the running service was stopped first";
  EXPECT_TRUE(state_is("STATE              : 1  STOPPED")) << sc_query();
  EXPECT_TRUE(contains(run_command({simhost, "sc", "qc", "hbalogd"}).out, "START_TYPE         : 2   AUTO_START"));
  const std::vector<sim::event_record> events = module_events();
  ASSERT_EQ(events.size(), 2u) << testing::PrintToString(application_events());
  EXPECT_EQ(events[1].strings, std::vector<std::string>{"Service stopped"});

  const command_result start = net("start");
  ASSERT_EQ(start.status, 0) << start.out << start.err;
  EXPECT_TRUE(state_is("STATE              : 4  RUNNING")) << sc_query();

  // ControlService returns once the handler has run: the status it gives is
  // the one the handler reported, no longer RUNNING.
  platform::unique_service_manager scm;
  ASSERT_EQ(platform::backend_services().open_manager(win::sc_manager_all_access, scm), win::error_success);
  platform::unique_service service;
  ASSERT_EQ(scm->open_service("hbalogd", win::service_stop | win::service_query_status, service), win::error_success);
  platform::service_status status;
  ASSERT_EQ(service->control(win::service_control_stop, status), win::error_success);
  EXPECT_TRUE(status.current_state == win::service_stop_pending || status.current_state == win::service_stopped)
      << status.current_state;
  EXPECT_TRUE(eventually([&] { return state_is("STATE              : 1  STOPPED"); })) << sc_query();
}

TEST_F(ServiceEndToEnd, RecordsWrittenWhileTheWatcherIsBusyAreStillLogged) {
  // The change notification pulses: a record written while the worker is in a
  // dispatch pass wakes nobody, and only the notify thread's cycle (5 s)
  // brings it in. The worker is held in its pass for the second record by the
  // writer of the first, which the driver answers busy (one retry a second);
  // the third record comes while it is held there.
  install_lists();
  running_simulator simulator("[adapter]\nport = 2\n");
  ASSERT_TRUE(simulator.started());
  ASSERT_EQ(run_command({hbalogd, "/Service"}).status, 0);
  ASSERT_EQ(net("start").status, 0);
  std::vector<std::string> heads;
  const auto inject = [&](const char* slot) {
    const simulator::control_reply reply = simulator.control({"inject", "--port", "2", "--error", "3", "--slot", slot});
    const std::size_t at = reply.out.find("System record ");
    EXPECT_NE(at, std::string::npos) << reply.out << reply.err;
    if (at != std::string::npos) {
      heads.push_back("---- KVXWDD LOG #" + std::to_string(std::atoi(reply.out.c_str() + at + 14)) + " ----");
    }
  };
  // The watch has taken the log's newest record as its start once the
  // startup scan has asked the port for its PCI location and ERRLOG: a record
  // written before that is not the service's.
  ASSERT_TRUE(eventually([&] { return startup_scan_done(simulator); }));
  // A first record, logged at once: from here on the watch is up and the
  // port is quiet.
  inject("4");
  ASSERT_TRUE(eventually(
      [&] {
        return !heads.empty() && contains(log_file("kvx0200.log"), heads[0]) &&
               contains(simulator.control({"status"}).out, "open handles: 0 shared, 0 exclusive") &&
               contains(simulator.control({"status"}).out, "occupied slots: none");
      },
      std::chrono::seconds(20)))
      << log_file("kvx0200.log") << testing::PrintToString(application_events());
  simulator.control({"busy", "--port", "2", "--count", "3"});
  inject("1");
  ASSERT_TRUE(busy_left(simulator, 2)) << "the first record's writer is retrying";
  inject("2");
  ASSERT_TRUE(busy_left(simulator, 1)) << "a second later: the pass for the second record waits for that writer";
  inject("3");
  EXPECT_TRUE(eventually(
      [&] {
        const std::string file = log_file("kvx0200.log");
        return std::all_of(heads.begin(), heads.end(), [&](const std::string& h) { return contains(file, h); });
      },
      std::chrono::seconds(60)))
      << log_file("kvx0200.log") << testing::PrintToString(application_events());
  stop_and_check();
}

TEST_F(ServiceEndToEnd, AStopWritesEveryRecordInFlightWhileItsBoundLeavesTime) {
  // The driver answers the writer busy for some seconds while ten records
  // come; the stop comes while the writer retries and the pass waits for it.
  // The drain (20 s) leaves time for all of them: each becomes an entry, and
  // none is reported.
  install_lists();
  running_simulator simulator("[adapter]\nport = 2\n");
  ASSERT_TRUE(simulator.started());
  ASSERT_EQ(run_command({hbalogd, "/Service"}).status, 0);
  ASSERT_EQ(net("start").status, 0);
  wait_until_watching(simulator);
  const std::vector<int> records = records_in_flight(simulator, 6);
  stop_and_check();
  EXPECT_EQ(account_for(records), 0);
  EXPECT_TRUE(contains(simulator.control({"status"}).out, "occupied slots: none")) << "every slot was handed back";
  const std::vector<std::string> events = application_events();
  EXPECT_EQ(events.back(), "hbalogd: Service stopped");
}

TEST_F(ServiceEndToEnd, AStopWhoseBoundRunsOutReportsEachRecordLeftOnce) {
  // As above, with the driver busy past the drain's bound (shortened for the
  // test): what the bound leaves is reported, each record once.
  install_lists();
  ::setenv("KVX_TEST_STOP_DRAIN_MS", "3000", 1);
  {
    running_simulator simulator("[adapter]\nport = 2\n");
    ASSERT_TRUE(simulator.started());
    ASSERT_EQ(run_command({built_program("logd/host/hbalogd_tested").string(), "/Service"}).status, 0);
    ASSERT_EQ(net("start").status, 0);
    wait_until_watching(simulator);
    const std::vector<int> records = records_in_flight(simulator, 600);
    stop_and_check();
    EXPECT_EQ(account_for(records), 10) << "the driver never answered within the bound";
    EXPECT_EQ(application_events().back(), "hbalogd: Service stopped");
  }
  ::unsetenv("KVX_TEST_STOP_DRAIN_MS");
}

TEST_F(ServiceEndToEnd, ASystemShutdownDrainsTheServiceAndLeavesNoServiceProcess) {
  // Records queued and unread when the system shuts down: the preshutdown
  // control drains them as a stop does, and the service ends by itself
  // within its preshutdown timeout.
  install_lists();
  running_simulator simulator("[adapter]\nport = 2\n");
  ASSERT_TRUE(simulator.started());
  ASSERT_EQ(run_command({hbalogd, "/Service"}).status, 0);
  ASSERT_EQ(net("start").status, 0);
  EXPECT_TRUE(contains(sc_query(), "ACCEPTS_SHUTDOWN")) << sc_query();
  wait_until_watching(simulator);
  sim::service_record record;
  ASSERT_TRUE(sim::read_service_record(sim::service_directory("hbalogd"), record));
  const std::vector<int> records = records_in_flight(simulator, 6);
  const command_result shutdown = run_command({simhost, "shutdown"});
  EXPECT_EQ(shutdown.status, 0) << shutdown.out << shutdown.err;
  EXPECT_EQ(shutdown.out,
            "Shutting down: 1 service(s) running.\n"
            "hbalogd: preshutdown control sent; waiting up to 30000 ms.\n"
            "hbalogd: ended.\n"
            "No service runs.\n");
  EXPECT_FALSE(sim::process_alive(record.process));
  EXPECT_EQ(account_for(records), 0);
  const std::string query = sc_query();
  EXPECT_TRUE(contains(query, "STATE              : 1  STOPPED")) << query;
  EXPECT_TRUE(contains(query, "WIN32_EXIT_CODE    : 0  (0x0)")) << "it stopped by itself: " << query;
  EXPECT_EQ(application_events().back(), "hbalogd: Service stopped");
}

TEST_F(ServiceEndToEnd, TheTestOnlyRetryCycleReachesTheService) {
  // A slot occupied without a record is logged by the retry thread after two
  // cycles: with 60 s cycles that is minutes, with the test-only setting less
  // than a second.
  install_lists();
  ::setenv("KVX_TEST_RETRY_CYCLE_MS", "200", 1);
  {
    running_simulator simulator("[adapter]\nport = 3\n");
    ASSERT_TRUE(simulator.started());
    // The tests' build of hbalogd reads the setting; the shipped one does not.
    ASSERT_EQ(run_command({built_program("logd/host/hbalogd_tested").string(), "/Service"}).status, 0);
    ASSERT_EQ(net("start").status, 0);
    // Past the startup scan (its PCI location and ERRLOG exchanges), which
    // would log the slot at once.
    ASSERT_TRUE(eventually([&] { return startup_scan_done(simulator); }));
    ASSERT_EQ(log_file("kvx0300.log").rfind("   1 ", 0), std::string::npos);
    simulator.control({"fill", "--port", "3", "--slot", "4"});
    EXPECT_TRUE(eventually([&] { return log_file("kvx0300.log").rfind("   1 ", 0) == 0; }, std::chrono::seconds(10)))
        << log_file("kvx0300.log") << testing::PrintToString(application_events());
    stop_and_check();
  }
  ::unsetenv("KVX_TEST_RETRY_CYCLE_MS");
}

}  // namespace
}  // namespace kvx::test
