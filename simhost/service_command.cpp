// simhost net start|stop NAME and simhost sc query|qc NAME: the service
// commands of the simulated host, with the messages, layouts and exit codes of
// net.exe (0 on success, 2 on failure) and sc.exe (0, or the Windows error).
// A start waits until the service reports SERVICE_RUNNING, stops during its
// start, or lets 30 seconds pass; a stop waits the same for SERVICE_STOPPED
// and then for the service process to end.
//
// simhost shutdown: the system's shutdown, as its service manager runs it.
#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/service.h"
#include "platform/sim/host_root.h"
#include "platform/sim/service_state.h"
#include "platform/win_codes.h"
#include "simhost/commands.h"

namespace kvx::simhost {
namespace {

using clock_type = std::chrono::steady_clock;
constexpr auto state_wait = std::chrono::seconds(30);
constexpr auto poll_step = std::chrono::milliseconds(20);

// Both commands take their verbs in any letter case, as on Windows.
std::string lower_case(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

const char* system_error_text(std::uint32_t code) {
  switch (code) {
    case win::error_file_not_found:
      return "The system cannot find the file specified.";
    case win::error_path_not_found:
      return "The system cannot find the path specified.";
    case win::error_access_denied:
      return "Access is denied.";
    case win::error_service_request_timeout:
      return "The service did not respond to the start or control request in a timely fashion.";
    case win::error_service_disabled:
      return "The service cannot be started, either because it is disabled or because it has no enabled devices "
             "associated with it.";
    case win::error_service_does_not_exist:
      return "The specified service does not exist as an installed service.";
    case win::error_process_aborted:
      return "The process terminated unexpectedly.";
    case win::error_service_never_started:
      return "The service has not been started.";
    case win::error_service_marked_for_delete:
      return "The specified service has been marked for deletion.";
    default:
      return "";
  }
}

void print_system_error(std::uint32_t code) {
  std::fprintf(stderr, "System error %u has occurred.\n\n%s\n\n", code, system_error_text(code));
}

int net_usage() {
  std::fprintf(stderr, "The syntax of this command is:\n\nNET START service\nNET STOP service\n\n");
  return 1;
}

// Opens the service for a net command; prints net.exe's message and gives
// false when it cannot.
bool open_for_net(const std::string& name, std::uint32_t access, platform::unique_service& out) {
  platform::unique_service_manager scm;
  std::uint32_t rc = platform::backend_services().open_manager(win::sc_manager_all_access, scm);
  if (rc == win::error_success) rc = scm->open_service(name.c_str(), access, out);
  if (rc == win::error_success) return true;
  if (rc == win::error_service_does_not_exist || rc == win::error_invalid_parameter) {
    std::fprintf(stderr, "The service name is invalid.\n\nMore help is available by typing NET HELPMSG 2185.\n\n");
  } else {
    print_system_error(rc);
  }
  return false;
}

std::string display_name_of(platform::service_handle& service, const std::string& name) {
  platform::service_config config;
  if (service.query_config(config) == win::error_success && !config.display_name.empty()) return config.display_name;
  return name;
}

// Polls until `done` holds for the status or the wait has passed; false on a
// timeout or a failed query.
template <class Done>
bool wait_for_status(platform::service_handle& service, platform::service_status& status, Done done) {
  const clock_type::time_point limit = clock_type::now() + state_wait;
  for (;;) {
    if (service.query_status(status) != win::error_success) return false;
    if (done(status)) return true;
    if (clock_type::now() >= limit) return false;
    std::this_thread::sleep_for(poll_step);
  }
}

int net_start(const std::string& name) {
  platform::unique_service service;
  if (!open_for_net(name, win::service_start | win::service_query_status | win::service_query_config, service)) {
    return 2;
  }
  const std::string display = display_name_of(*service, name);
  const std::uint32_t rc = service->start();
  if (rc == win::error_service_already_running) {
    std::fprintf(stderr,
                 "The requested service has already been started.\n\nMore help is available by typing NET HELPMSG "
                 "2182.\n\n");
    return 2;
  }
  if (rc != win::error_success) {
    print_system_error(rc);
    return 2;
  }
  std::printf("The %s service is starting.\n", display.c_str());
  std::fflush(stdout);
  platform::service_status status;
  const bool settled = wait_for_status(*service, status, [](const platform::service_status& s) {
    return s.current_state != win::service_start_pending;
  });
  if (settled && status.current_state != win::service_stopped) {
    std::printf("The %s service was started successfully.\n\n", display.c_str());
    return 0;
  }
  std::fprintf(stderr, "The %s service could not be started.\n\n", display.c_str());
  const std::uint32_t code = settled ? status.win32_exit_code : win::error_service_request_timeout;
  if (code == win::error_success) {
    std::fprintf(stderr,
                 "The service did not report an error.\n\nMore help is available by typing NET HELPMSG 3534.\n\n");
  } else if (code == win::error_service_specific_error) {
    std::fprintf(stderr,
                 "A service specific error occurred: %u.\n\nMore help is available by typing NET HELPMSG 3547.\n\n",
                 status.service_specific_exit_code);
  } else {
    std::fprintf(stderr, "A system error has occurred.\n\n");
    print_system_error(code);
  }
  return 2;
}

int net_stop(const std::string& name) {
  platform::unique_service service;
  if (!open_for_net(name, win::service_stop | win::service_query_status | win::service_query_config, service)) {
    return 2;
  }
  const std::string display = display_name_of(*service, name);
  platform::service_status status;
  const std::uint32_t rc = service->control(win::service_control_stop, status);
  if (rc == win::error_service_not_active) {
    std::fprintf(stderr, "The %s service is not started.\n\nMore help is available by typing NET HELPMSG 3521.\n\n",
                 display.c_str());
    return 2;
  }
  if (rc == win::error_service_cannot_accept_ctrl || rc == win::error_invalid_service_control) {
    std::fprintf(stderr,
                 "The service could not be controlled in its present state.\n\nMore help is available by typing "
                 "NET HELPMSG 2189.\n\n");
    return 2;
  }
  if (rc != win::error_success) {
    print_system_error(rc);
    return 2;
  }
  std::printf("The %s service is stopping.\n", display.c_str());
  std::fflush(stdout);
  const bool stopped = wait_for_status(
      *service, status, [](const platform::service_status& s) { return s.current_state == win::service_stopped; });
  if (!stopped) {
    std::fprintf(stderr, "The %s service could not be stopped.\n\n", display.c_str());
    return 2;
  }
  // The process ends right after its last report; wait for that too, so that
  // whoever stopped the service finds everything it wrote on disk.
  const clock_type::time_point limit = clock_type::now() + state_wait;
  sim::service_record record;
  while (sim::read_service_record(sim::service_directory(name), record) && sim::process_alive(record.process) &&
         clock_type::now() < limit) {
    std::this_thread::sleep_for(poll_step);
  }
  std::printf("The %s service was stopped successfully.\n\n", display.c_str());
  return 0;
}

const char* state_name(std::uint32_t state) {
  switch (state) {
    case win::service_stopped:
      return "STOPPED";
    case win::service_start_pending:
      return "START_PENDING";
    case win::service_stop_pending:
      return "STOP_PENDING";
    case win::service_running:
      return "RUNNING";
    case win::service_continue_pending:
      return "CONTINUE_PENDING";
    case win::service_pause_pending:
      return "PAUSE_PENDING";
    case win::service_paused:
      return "PAUSED";
    default:
      return "UNKNOWN";
  }
}

const char* type_name(std::uint32_t type) {
  switch (type) {
    case 0x1:
      return "KERNEL_DRIVER";
    case 0x2:
      return "FILE_SYSTEM_DRIVER";
    case win::service_win32_own_process:
      return "WIN32_OWN_PROCESS";
    case 0x20:
      return "WIN32_SHARE_PROCESS";
    default:
      return "";
  }
}

const char* start_name(std::uint32_t start) {
  switch (start) {
    case 0:
      return "BOOT_START";
    case 1:
      return "SYSTEM_START";
    case win::service_auto_start:
      return "AUTO_START";
    case win::service_demand_start:
      return "DEMAND_START";
    case win::service_disabled:
      return "DISABLED";
    default:
      return "";
  }
}

const char* error_control_name(std::uint32_t control) {
  switch (control) {
    case 0:
      return "IGNORE";
    case win::service_error_normal:
      return "NORMAL";
    case 2:
      return "SEVERE";
    case 3:
      return "CRITICAL";
    default:
      return "";
  }
}

int sc_usage() {
  std::fprintf(stderr,
               "DESCRIPTION:\n        SC queries the service manager.\nUSAGE:\n        sc query NAME\n"
               "        sc qc NAME\n");
  return 1;
}

int sc_open(const char* operation, const std::string& name, std::uint32_t access, platform::unique_service& out) {
  platform::unique_service_manager scm;
  std::uint32_t rc = platform::backend_services().open_manager(win::sc_manager_all_access, scm);
  if (rc == win::error_success) rc = scm->open_service(name.c_str(), access, out);
  if (rc == win::error_invalid_parameter) rc = win::error_service_does_not_exist;
  if (rc != win::error_success) {
    std::printf("[SC] %s FAILED %u:\n\n%s\n\n", operation, rc, system_error_text(rc));
  }
  return static_cast<int>(rc);
}

int sc_query(const std::string& name) {
  platform::unique_service service;
  if (const int rc = sc_open("EnumQueryServicesStatus:OpenService", name, win::service_query_status, service);
      rc != 0) {
    return rc;
  }
  platform::service_status s;
  if (const std::uint32_t rc = service->query_status(s); rc != win::error_success) {
    std::printf("[SC] QueryServiceStatus FAILED %u:\n\n%s\n\n", rc, system_error_text(rc));
    return static_cast<int>(rc);
  }
  const bool stoppable = (s.controls_accepted & win::service_accept_stop) != 0;
  const bool pausable = (s.controls_accepted & win::service_accept_pause_continue) != 0;
  const bool shutdown = (s.controls_accepted & win::service_accept_shutdown) != 0;
  std::printf("\nSERVICE_NAME: %s\n", name.c_str());
  std::printf("        TYPE               : %x  %s\n", s.service_type, type_name(s.service_type));
  std::printf("        STATE              : %u  %s\n", s.current_state, state_name(s.current_state));
  std::printf("                                (%s, %s, %s)\n", stoppable ? "STOPPABLE" : "NOT_STOPPABLE",
              pausable ? "PAUSABLE" : "NOT_PAUSABLE", shutdown ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN");
  std::printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", s.win32_exit_code, s.win32_exit_code);
  std::printf("        SERVICE_EXIT_CODE  : %u  (0x%x)\n", s.service_specific_exit_code, s.service_specific_exit_code);
  std::printf("        CHECKPOINT         : 0x%x\n", s.check_point);
  std::printf("        WAIT_HINT          : 0x%x\n", s.wait_hint);
  return 0;
}

int sc_qc(const std::string& name) {
  platform::unique_service service;
  if (const int rc = sc_open("OpenService", name, win::service_query_config, service); rc != 0) return rc;
  platform::service_config c;
  if (const std::uint32_t rc = service->query_config(c); rc != win::error_success) {
    std::printf("[SC] QueryServiceConfig FAILED %u:\n\n%s\n\n", rc, system_error_text(rc));
    return static_cast<int>(rc);
  }
  std::printf("[SC] QueryServiceConfig SUCCESS\n\nSERVICE_NAME: %s\n", name.c_str());
  std::printf("        TYPE               : %x  %s\n", c.service_type, type_name(c.service_type));
  std::printf("        START_TYPE         : %u   %s\n", c.start_type, start_name(c.start_type));
  std::printf("        ERROR_CONTROL      : %u   %s\n", c.error_control, error_control_name(c.error_control));
  std::printf("        BINARY_PATH_NAME   : %s\n", c.binary_path.c_str());
  std::printf("        LOAD_ORDER_GROUP   : %s\n", c.load_order_group.c_str());
  std::printf("        TAG                : 0\n");
  std::printf("        DISPLAY_NAME       : %s\n", c.display_name.c_str());
  for (std::size_t i = 0; i < c.dependencies.size() || i == 0; ++i) {
    std::printf("        %s       : %s\n", i == 0 ? "DEPENDENCIES" : "            ",
                i < c.dependencies.size() ? c.dependencies[i].c_str() : "");
  }
  std::printf("        SERVICE_START_NAME : %s\n", c.account.c_str());
  return 0;
}

/// How long the system waits, all told, for the services it has sent the
/// shutdown control (WaitToKillServiceTimeout, 5 s by default).
constexpr auto shutdown_wait = std::chrono::milliseconds(5000);

struct running_service {
  std::string name;  ///< as the service directory spells it (lower case)
  sim::service_record record;
};

/// The services whose process runs, in the order of their directories' names.
std::vector<running_service> running_services() {
  std::vector<running_service> out;
  std::error_code error;
  const std::filesystem::path root = sim::host_dir("services");
  std::vector<std::filesystem::path> dirs;
  for (const auto& item : std::filesystem::directory_iterator(root, error)) {
    if (item.is_directory(error)) dirs.push_back(item.path());
  }
  std::sort(dirs.begin(), dirs.end());
  for (const std::filesystem::path& dir : dirs) {
    running_service s;
    s.name = dir.filename().string();
    if (sim::read_service_record(dir, s.record) && sim::process_alive(s.record.process)) out.push_back(s);
  }
  return out;
}

bool still_running(const running_service& s) { return sim::process_alive(s.record.process); }

/// Waits until none of `services` runs or `limit` has come; true when none runs.
bool wait_for_end(const std::vector<running_service>& services, clock_type::time_point limit) {
  for (;;) {
    bool any = false;
    for (const running_service& s : services) any = any || still_running(s);
    if (!any) return true;
    if (clock_type::now() >= limit) return false;
    std::this_thread::sleep_for(poll_step);
  }
}

/// The controls a service accepts, as it reports them now.
std::uint32_t accepted_now(const running_service& s) {
  sim::service_record now;
  if (!sim::read_service_record(sim::service_directory(s.name), now)) return 0;
  return now.status.controls_accepted;
}

int shutdown_usage() {
  std::fprintf(stderr, "usage: simhost shutdown\n");
  return 1;
}

}  // namespace

int run_shutdown(const arguments& args) {
  if (!args.empty()) return shutdown_usage();
  const std::vector<running_service> services = running_services();
  std::printf("Shutting down: %zu service(s) running.\n", services.size());
  // The preshutdown control, one service after the other, each waited for up
  // to the timeout it registered.
  for (const running_service& s : services) {
    if ((accepted_now(s) & win::service_accept_preshutdown) == 0) continue;
    const std::uint32_t timeout = sim::preshutdown_timeout_of(s.name);
    std::printf("%s: preshutdown control sent; waiting up to %u ms.\n", s.name.c_str(), timeout);
    std::fflush(stdout);
    const std::uint32_t rc = sim::send_system_control(s.name, win::service_control_preshutdown);
    if (rc != win::error_success && rc != win::error_service_not_active) {
      std::printf("%s: the preshutdown control failed with %u.\n", s.name.c_str(), rc);
      continue;
    }
    if (wait_for_end({s}, clock_type::now() + std::chrono::milliseconds(timeout))) {
      std::printf("%s: ended.\n", s.name.c_str());
    } else {
      std::printf("%s: still running after %u ms.\n", s.name.c_str(), timeout);
    }
  }
  // The shutdown control to those still running that accept it, then one
  // wait for all of them.
  std::vector<running_service> told;
  for (const running_service& s : services) {
    if (!still_running(s) || (accepted_now(s) & win::service_accept_shutdown) == 0) continue;
    std::printf("%s: shutdown control sent.\n", s.name.c_str());
    std::fflush(stdout);
    if (sim::send_system_control(s.name, win::service_control_shutdown) == win::error_success) told.push_back(s);
  }
  if (!told.empty()) {
    const bool ended = wait_for_end(told, clock_type::now() + shutdown_wait);
    std::printf("%s after the shutdown control.\n", ended ? "Every service told has ended" : "The wait has passed");
  }
  // Whatever still runs is ended, as the system ends every process.
  for (const running_service& s : services) {
    if (!still_running(s)) continue;
    std::printf("%s: process %ld ended by the system.\n", s.name.c_str(), s.record.process.pid);
    if (::kill(static_cast<pid_t>(s.record.process.pid), SIGKILL) != 0) {
      std::printf("%s: process %ld could not be ended.\n", s.name.c_str(), s.record.process.pid);
    }
  }
  if (!wait_for_end(services, clock_type::now() + state_wait)) {
    std::printf("A service process still runs.\n");
    return 2;
  }
  std::printf("No service runs.\n");
  return 0;
}

int run_net(const arguments& args) {
  if (args.size() != 2) return net_usage();
  const std::string verb = lower_case(args[0]);
  if (verb == "start") return net_start(args[1]);
  if (verb == "stop") return net_stop(args[1]);
  return net_usage();
}

int run_sc(const arguments& args) {
  if (args.size() != 2) return sc_usage();
  const std::string verb = lower_case(args[0]);
  if (verb == "query") return sc_query(args[1]);
  if (verb == "qc") return sc_qc(args[1]);
  return sc_usage();
}

}  // namespace kvx::simhost
