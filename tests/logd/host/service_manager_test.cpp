// The simulated service manager in this process: services kept in the
// simulated registry, starts, controls, status, and the dispatcher's refusal
// of a process that it did not start.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/registry.h"
#include "platform/service.h"
#include "platform/sim/service_state.h"
#include "platform/win_codes.h"
#include "tests/fakes/temp_host.h"
#include "tests/support/poll.h"
#include "tests/support/process.h"

namespace kvx::test {
namespace {

using platform::service_config;
using platform::service_status;

class SimServiceManager : public ::testing::Test {
 protected:
  SimServiceManager() {
    EXPECT_EQ(platform::backend_services().open_manager(win::sc_manager_all_access, scm), win::error_success);
  }

  std::uint32_t create(const char* name, const std::string& image, std::uint32_t start = win::service_demand_start) {
    service_config c;
    c.start_type = start;
    c.binary_path = image;
    c.dependencies = {"RPCSS", "Eventlog"};
    platform::unique_service s;
    return scm->create_service(name, win::service_all_access, c, s);
  }

  service_status status_of(const char* name) {
    platform::unique_service s;
    service_status st;
    EXPECT_EQ(scm->open_service(name, win::service_query_status, s), win::error_success);
    if (s != nullptr) {
      EXPECT_EQ(s->query_status(st), win::error_success);
    }
    return st;
  }

  temp_host host;
  platform::unique_service_manager scm;
};

TEST_F(SimServiceManager, ServicesLiveInTheRegistryAndOpenWithTheirAccessOnly) {
  platform::unique_service s;
  EXPECT_EQ(scm->open_service("demo", win::service_query_config, s), win::error_service_does_not_exist);
  ASSERT_EQ(create("demo", "\"/bin/true\" -x"), win::error_success);
  EXPECT_EQ(create("DEMO", "/bin/true"), win::error_service_exists) << "names ignore letter case";

  ASSERT_EQ(scm->open_service("Demo", win::service_query_config, s), win::error_success);
  service_config c;
  ASSERT_EQ(s->query_config(c), win::error_success);
  EXPECT_EQ(c.service_type, win::service_win32_own_process);
  EXPECT_EQ(c.start_type, win::service_demand_start);
  EXPECT_EQ(c.error_control, win::service_error_normal);
  EXPECT_EQ(c.binary_path, "\"/bin/true\" -x");
  EXPECT_EQ(c.dependencies, (std::vector<std::string>{"RPCSS", "Eventlog"}));
  EXPECT_EQ(c.account, "LocalSystem");
  EXPECT_EQ(c.display_name, "demo");
  // Opened to read its configuration, it can be neither started nor deleted.
  EXPECT_EQ(s->remove(), win::error_access_denied);
  EXPECT_EQ(s->start(), win::error_access_denied);
  service_status st;
  EXPECT_EQ(s->control(win::service_control_stop, st), win::error_access_denied);

  ASSERT_EQ(scm->open_service("demo", win::delete_access, s), win::error_success);
  EXPECT_EQ(s->remove(), win::error_success);
  s.reset();  // the deletion ends with the last handle
  EXPECT_EQ(scm->open_service("demo", win::service_query_config, s), win::error_service_does_not_exist);
  EXPECT_EQ(scm->open_service("a\\b", win::service_query_config, s), win::error_invalid_parameter);
  EXPECT_EQ(scm->open_service("", win::service_query_config, s), win::error_invalid_parameter);
}

TEST_F(SimServiceManager, ADeletedServiceStaysMarkedUntilItsLastHandleCloses) {
  ASSERT_EQ(create("demo", "/bin/true"), win::error_success);
  platform::unique_service reader;
  platform::unique_service deleter;
  ASSERT_EQ(scm->open_service("demo", win::service_query_status, reader), win::error_success);
  ASSERT_EQ(scm->open_service("demo", win::service_all_access, deleter), win::error_success);
  ASSERT_EQ(deleter->remove(), win::error_success);
  platform::unique_service s;
  EXPECT_EQ(deleter->remove(), win::error_service_marked_for_delete);
  EXPECT_EQ(deleter->start(), win::error_service_marked_for_delete);
  EXPECT_EQ(scm->open_service("demo", win::service_query_status, s), win::error_service_marked_for_delete);
  EXPECT_EQ(create("demo", "/bin/true"), win::error_service_marked_for_delete);
  service_status st;
  EXPECT_EQ(reader->query_status(st), win::error_success) << "handles still open keep working";

  deleter.reset();
  EXPECT_EQ(scm->open_service("demo", win::service_query_status, s), win::error_service_marked_for_delete)
      << "one handle is still open";
  reader.reset();
  EXPECT_EQ(scm->open_service("demo", win::service_query_status, s), win::error_service_does_not_exist);
  ASSERT_EQ(create("demo", "/bin/true"), win::error_success);
  EXPECT_EQ(status_of("demo").win32_exit_code, win::error_service_never_started) << "the new service never ran";
}

TEST_F(SimServiceManager, AHandleOfAProcessThatHasEndedDoesNotHoldTheService) {
  ASSERT_EQ(create("demo", "/bin/true"), win::error_success);
  // A process that dies with the service open: its handle is never closed.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::unique_service_manager own;
    platform::unique_service leaked;
    if (platform::backend_services().open_manager(win::sc_manager_all_access, own) != win::error_success ||
        own->open_service("demo", win::service_query_status, leaked) != win::error_success) {
      ::_exit(1);
    }
    ::_exit(0);  // without closing anything
  }
  int raw = 0;
  ASSERT_EQ(::waitpid(child, &raw, 0), child);
  ASSERT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);
  ASSERT_FALSE(std::filesystem::is_empty(sim::service_directory("demo") / "handles")) << "the handle was recorded";

  platform::unique_service s;
  ASSERT_EQ(scm->open_service("demo", win::delete_access, s), win::error_success);
  ASSERT_EQ(s->remove(), win::error_success);
  s.reset();
  EXPECT_EQ(scm->open_service("demo", win::service_query_status, s), win::error_service_does_not_exist);
  EXPECT_TRUE(std::filesystem::is_empty(sim::service_directory("demo") / "handles"));
}

TEST_F(SimServiceManager, ANeverStartedServiceIsStoppedAndTakesNoControl) {
  ASSERT_EQ(create("demo", "/bin/true"), win::error_success);
  const service_status st = status_of("demo");
  EXPECT_EQ(st.current_state, win::service_stopped);
  EXPECT_EQ(st.win32_exit_code, win::error_service_never_started);
  platform::unique_service s;
  ASSERT_EQ(scm->open_service("demo", win::service_stop, s), win::error_success);
  service_status out;
  EXPECT_EQ(s->control(win::service_control_stop, out), win::error_service_not_active);
}

TEST_F(SimServiceManager, StartFailuresAreTheWindowsErrors) {
  ASSERT_EQ(create("missing", "\"/nonexistent/program\""), win::error_success);
  ASSERT_EQ(create("off", "/bin/true", win::service_disabled), win::error_success);
  platform::unique_service s;
  ASSERT_EQ(scm->open_service("missing", win::service_all_access, s), win::error_success);
  EXPECT_EQ(s->start(), win::error_file_not_found);
  service_status st;
  ASSERT_EQ(s->query_status(st), win::error_success);
  EXPECT_EQ(st.current_state, win::service_stopped);
  EXPECT_EQ(st.win32_exit_code, win::error_file_not_found);
  ASSERT_EQ(scm->open_service("off", win::service_all_access, s), win::error_success);
  EXPECT_EQ(s->start(), win::error_service_disabled);
}

TEST_F(SimServiceManager, AServiceProcessThatDiesIsSeenAsStopped) {
  // A program that never calls the dispatcher: it stays start-pending, takes
  // no control, cannot be started twice, and is stopped once it is killed.
  ASSERT_EQ(create("sleeper", "/bin/sleep 30"), win::error_success);
  platform::unique_service s;
  ASSERT_EQ(scm->open_service("sleeper", win::service_all_access, s), win::error_success);
  ASSERT_EQ(s->start(), win::error_success);
  EXPECT_EQ(status_of("sleeper").current_state, win::service_start_pending);
  EXPECT_EQ(s->start(), win::error_service_already_running);
  service_status st;
  EXPECT_EQ(s->control(win::service_control_stop, st), win::error_service_cannot_accept_ctrl);

  sim::service_record record;
  ASSERT_TRUE(sim::read_service_record(sim::service_directory("sleeper"), record));
  ASSERT_TRUE(sim::process_alive(record.process));
  ASSERT_EQ(::kill(static_cast<pid_t>(record.process.pid), SIGKILL), 0);
  ASSERT_TRUE(eventually([&] { return status_of("sleeper").current_state == win::service_stopped; }));
  EXPECT_EQ(status_of("sleeper").win32_exit_code, win::error_process_aborted);
}

TEST_F(SimServiceManager, TheDispatcherRefusesAProcessItDidNotStart) {
  int runs = 0;
  const auto entry = [&runs](platform::service_session&) { ++runs; };
  ::unsetenv(sim::service_control_variable);
  EXPECT_EQ(platform::backend_services().run_dispatcher("hbalogd", entry),
            win::error_failed_service_controller_connect);
  // The variable alone is not enough: the status must name this process.
  const std::filesystem::path dir = sim::service_directory("hbalogd");
  sim::service_record other;
  other.status.current_state = win::service_start_pending;
  other.process.pid = 1;
  ASSERT_TRUE(sim::write_service_record(dir, other));
  ::setenv(sim::service_control_variable, dir.c_str(), 1);
  EXPECT_EQ(platform::backend_services().run_dispatcher("hbalogd", entry),
            win::error_failed_service_controller_connect);
  ::unsetenv(sim::service_control_variable);
  EXPECT_EQ(runs, 0);
}

}  // namespace
}  // namespace kvx::test
