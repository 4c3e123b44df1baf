// The service manager seam. The program's side: StartServiceCtrlDispatcherA,
// RegisterServiceCtrlHandlerA and SetServiceStatus. The administrator's side:
// OpenSCManagerA, OpenServiceA, CreateServiceA, StartServiceA, ControlService,
// DeleteService, QueryServiceConfigA, QueryServiceStatus, CloseServiceHandle.
// Also what a service's run loop needs around them: the thread message queue
// that its quit message travels through, and COM initialisation.
// Results are Windows error codes (win::error_success on success).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kvx::win {

// Service types, start types and error control (CreateServiceA).
inline constexpr std::uint32_t service_win32_own_process = 0x10;
inline constexpr std::uint32_t service_auto_start = 2;
inline constexpr std::uint32_t service_demand_start = 3;
inline constexpr std::uint32_t service_disabled = 4;
inline constexpr std::uint32_t service_error_normal = 1;

// Current states (SERVICE_STATUS.dwCurrentState).
inline constexpr std::uint32_t service_stopped = 1;
inline constexpr std::uint32_t service_start_pending = 2;
inline constexpr std::uint32_t service_stop_pending = 3;
inline constexpr std::uint32_t service_running = 4;
inline constexpr std::uint32_t service_continue_pending = 5;
inline constexpr std::uint32_t service_pause_pending = 6;
inline constexpr std::uint32_t service_paused = 7;

// Control codes and the accepted-controls bits.
inline constexpr std::uint32_t service_control_stop = 1;
inline constexpr std::uint32_t service_control_pause = 2;
inline constexpr std::uint32_t service_control_continue = 3;
inline constexpr std::uint32_t service_control_interrogate = 4;
inline constexpr std::uint32_t service_control_shutdown = 5;
inline constexpr std::uint32_t service_control_preshutdown = 0x0F;
inline constexpr std::uint32_t service_accept_stop = 0x1;
inline constexpr std::uint32_t service_accept_pause_continue = 0x2;
inline constexpr std::uint32_t service_accept_shutdown = 0x4;
inline constexpr std::uint32_t service_accept_preshutdown = 0x100;

// Access masks.
inline constexpr std::uint32_t sc_manager_all_access = 0xF003F;
inline constexpr std::uint32_t service_query_config = 0x0001;
inline constexpr std::uint32_t service_change_config = 0x0002;
inline constexpr std::uint32_t service_query_status = 0x0004;
inline constexpr std::uint32_t service_start = 0x0010;
inline constexpr std::uint32_t service_stop = 0x0020;
inline constexpr std::uint32_t service_interrogate = 0x0080;
inline constexpr std::uint32_t delete_access = 0x10000;
inline constexpr std::uint32_t service_all_access = 0xF01FF;

// Service manager error codes beyond those of win_codes.h.
inline constexpr std::uint32_t error_invalid_service_control = 1052;
inline constexpr std::uint32_t error_service_request_timeout = 1053;
inline constexpr std::uint32_t error_service_already_running = 1056;
inline constexpr std::uint32_t error_service_disabled = 1058;
inline constexpr std::uint32_t error_service_cannot_accept_ctrl = 1061;
inline constexpr std::uint32_t error_service_specific_error = 1066;
inline constexpr std::uint32_t error_process_aborted = 1067;
inline constexpr std::uint32_t error_service_marked_for_delete = 1072;
inline constexpr std::uint32_t error_service_never_started = 1077;

}  // namespace kvx::win

namespace kvx::platform {

/// SERVICE_STATUS, field for field.
struct service_status {
  std::uint32_t service_type = win::service_win32_own_process;
  std::uint32_t current_state = win::service_stopped;
  std::uint32_t controls_accepted = 0;
  std::uint32_t win32_exit_code = 0;
  std::uint32_t service_specific_exit_code = 0;
  std::uint32_t check_point = 0;
  std::uint32_t wait_hint = 0;
};

/// What CreateServiceA takes and QueryServiceConfigA gives, in our own types.
struct service_config {
  std::uint32_t service_type = win::service_win32_own_process;
  std::uint32_t start_type = win::service_demand_start;
  std::uint32_t error_control = win::service_error_normal;
  std::string binary_path;       ///< the command line the manager starts, quotes included
  std::string load_order_group;  ///< empty: none
  std::vector<std::string> dependencies;
  std::string account;  ///< empty creates the service as LocalSystem; a query gives the stored name
  std::string display_name;
};

/// A service's status channel to the manager (the handle that
/// RegisterServiceCtrlHandlerA gives). Nothing to close.
class service_status_reporter {
 public:
  virtual ~service_status_reporter() = default;
  /// SetServiceStatus with the whole record; false when the manager refuses it.
  [[nodiscard]] virtual bool report(const service_status& status) = 0;
};

/// Runs on the dispatcher thread (the thread that called run_dispatcher).
using control_handler = std::function<void(std::uint32_t control)>;

/// What the dispatcher hands the service entry.
class service_session {
 public:
  virtual ~service_session() = default;
  /// RegisterServiceCtrlHandlerA: from now until the dispatcher returns, every
  /// control the manager sends runs `handler` on the dispatcher thread. Null on failure.
  virtual std::unique_ptr<service_status_reporter> register_control_handler(const char* service_name,
                                                                            control_handler handler) = 0;
};

/// One open service (OpenServiceA, CreateServiceA); the destructor closes it.
class service_handle {
 public:
  virtual ~service_handle() = default;
  /// StartServiceA without arguments: error_success once the program has been
  /// started (the caller waits for its reports), error_service_already_running,
  /// error_service_disabled, error_service_marked_for_delete, or why the program did not start.
  [[nodiscard]] virtual std::uint32_t start() = 0;
  /// ControlService: returns once the service's control handler has run;
  /// `status` receives the latest reported status on success.
  /// error_service_not_active when it does not run, error_service_cannot_accept_ctrl
  /// while it starts or stops, error_invalid_service_control for a control it does not accept,
  /// error_service_request_timeout when the handler does not run within 30 seconds.
  [[nodiscard]] virtual std::uint32_t control(std::uint32_t control, service_status& status) = 0;
  /// DeleteService: marks the service for deletion. It is deleted once its
  /// process has ended and its last handle is closed; until then opening or
  /// creating it, starting it or deleting it again gives
  /// error_service_marked_for_delete.
  [[nodiscard]] virtual std::uint32_t remove() = 0;
  /// QueryServiceConfigA.
  [[nodiscard]] virtual std::uint32_t query_config(service_config& out) = 0;
  /// ChangeServiceConfig2A with SERVICE_CONFIG_PRESHUTDOWN_INFO: how long the
  /// manager waits for the service after the preshutdown control.
  [[nodiscard]] virtual std::uint32_t set_preshutdown_timeout(std::uint32_t milliseconds) = 0;
  /// QueryServiceStatus. A service whose process ended without reporting
  /// SERVICE_STOPPED shows as stopped with error_process_aborted.
  [[nodiscard]] virtual std::uint32_t query_status(service_status& out) = 0;
};
using unique_service = std::unique_ptr<service_handle>;

/// The open service manager (OpenSCManagerA); the destructor closes it.
class service_manager_handle {
 public:
  virtual ~service_manager_handle() = default;
  /// OpenServiceA: error_service_does_not_exist when there is no such service,
  /// error_service_marked_for_delete while a deleted one is still held.
  [[nodiscard]] virtual std::uint32_t open_service(const char* name, std::uint32_t access, unique_service& out) = 0;
  /// CreateServiceA: error_service_exists when it is already there,
  /// error_service_marked_for_delete while a deleted one of the name is still held.
  [[nodiscard]] virtual std::uint32_t create_service(const char* name, std::uint32_t access,
                                                     const service_config& config, unique_service& out) = 0;
};
using unique_service_manager = std::unique_ptr<service_manager_handle>;

class service_control {
 public:
  virtual ~service_control() = default;
  /// StartServiceCtrlDispatcherA with the one entry (service_name,
  /// service_main): runs service_main on a thread of its own and returns when
  /// it has returned (error_success). A process that the service manager did
  /// not start gets error_failed_service_controller_connect at once, and
  /// service_main never runs.
  [[nodiscard]] virtual std::uint32_t run_dispatcher(const char* service_name,
                                                     const std::function<void(service_session&)>& service_main) = 0;
  /// OpenSCManagerA(local machine, active database).
  [[nodiscard]] virtual std::uint32_t open_manager(std::uint32_t access, unique_service_manager& out) = 0;
};

/// The service manager of the linked backend: the real one on Windows, the
/// simulated host's (services kept in its registry) elsewhere.
service_control& backend_services();

/// A thread's message queue as the run loop uses it. Made on the thread that
/// runs the loop, so that a quit posted before run() begins is kept (on
/// Windows the queue exists from here on, and PostThreadMessageA can reach it).
class message_loop {
 public:
  virtual ~message_loop() = default;
  /// PostThreadMessageA(thread, WM_QUIT, 0, 0); any thread, any time while the loop object lives.
  virtual void post_quit() = 0;
  /// GetMessageA / DispatchMessageA until the quit arrives; on the creating thread only.
  virtual void run() = 0;
};

/// A message loop for the calling thread. Null when none can be had.
std::unique_ptr<message_loop> create_message_loop();

/// CoInitialize for the calling thread for the guard's lifetime (CoUninitialize
/// at the end when it succeeded). The simulated host has no COM: result 0.
class com_apartment {
 public:
  com_apartment();
  ~com_apartment();
  com_apartment(const com_apartment&) = delete;
  com_apartment& operator=(const com_apartment&) = delete;
  /// The HRESULT of CoInitialize: negative on failure.
  std::int32_t result() const { return result_; }

 private:
  std::int32_t result_ = 0;
};

}  // namespace kvx::platform
