// The service module of hbalogd: the program entry's choice between
// registering, unregistering and running; the service entry, its control
// handler and the run loop that hosts the event capture's worker thread; and
// the module's own messages. One object per process, made by main().
//
// Threads: the dispatcher thread (program entry, control handler), the service
// thread (service_main and run_service; in a plain process the main thread
// runs run_service) and the worker thread. The control handler and the worker
// reach the run loop only through post_quit(); the reported status is kept
// under status_lock_ because the handler and the service thread both report.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dialog.h"
#include "platform/event_log.h"
#include "platform/registry.h"
#include "platform/service.h"

namespace kvx::logd {

inline constexpr const char* module_appid = "{7A3E91C2-4B5D-4F60-9E21-5C8D0B6A4F17}";
inline constexpr const char* module_typelib = "{2C6B8E4F-91A7-4D3B-B5E0-7F1A9C3D6E28}";
inline constexpr const char* module_typelib_name = "HBALOGDLib";
inline constexpr std::uint32_t service_name_resource = 100;
inline constexpr std::uint32_t module_event_id = 0xC0000001;
inline constexpr std::size_t service_name_limit = 256;
inline constexpr std::size_t log_event_buffer = 260;

/// Where the module's registration lives.
inline constexpr const char* appid_key = "AppID";
inline constexpr const char* module_appid_key = "AppID\\{7A3E91C2-4B5D-4F60-9E21-5C8D0B6A4F17}";
inline constexpr const char* module_exe_key = "AppID\\hbalogd.EXE";
inline constexpr const char* event_source_key = "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\Hbalogd";

/// The wait hint reported with each checkpoint of a pending stop: longer than
/// the second between two checkpoints.
inline constexpr std::uint32_t stop_wait_hint_ms = 3000;

/// The controls the service accepts: a stop, and the two notices of a system
/// shutdown. The preshutdown notice comes first, while the other services
/// (the Event Log among them) still run, with the time registered below; the
/// shutdown notice is for a manager that sends no preshutdown notice.
inline constexpr std::uint32_t accepted_controls =
    win::service_accept_stop | win::service_accept_preshutdown | win::service_accept_shutdown;
/// The preshutdown timeout registered with the service: the capture's drain
/// (20 s), the rest of the stop, and a margin. Windows waits 10 s by default
/// (3 minutes before Windows 10 1703 and Server 2016).
inline constexpr std::uint32_t preshutdown_timeout_ms = 30000;
/// The drain's bound at SERVICE_CONTROL_SHUTDOWN: inside the system's wait
/// for services at shutdown (5 s by default).
inline constexpr std::int32_t shutdown_drain_ms = 4000;
/// A stop's bound when the control sets none: the capture's own.
inline constexpr std::int32_t capture_own_bound = 0x7FFFFFFF;

/// The platform services the module works through; each outlives the module.
struct host_platform {
  platform::service_control& services;
  platform::registry& registry;
  platform::event_log_service& event_logs;
  platform::dialogs& dialogs;
};

/// The event capture as the run loop drives it.
struct capture_entry {
  /// Runs the watch on the calling thread; calls post_quit() when it has ended.
  std::function<unsigned(const std::function<void()>& post_quit)> worker_thread;
  /// Asks the capture to drain and end within at most `bound_ms` (its own
  /// bound when that is shorter); any thread, any time, even before
  /// worker_thread has begun. Asked once for each stop control.
  std::function<void(std::int32_t bound_ms)> stop_watch;
};

class CServiceModule {
 public:
  /// A module working through `platform` and driving `capture`; not yet set up (init).
  CServiceModule(host_platform platform, capture_entry capture);
  /// Stops and joins a worker thread still running (a run loop never left).
  ~CServiceModule();
  CServiceModule(const CServiceModule&) = delete;
  CServiceModule& operator=(const CServiceModule&) = delete;

  /// Sets the module up: `service_name` (cut to 256 characters), the program's
  /// full path (empty when unknown), service mode on, the initial status.
  void init(const std::string& service_name, const std::string& program_path);

  /// The program entry after init: registers, unregisters or runs as the
  /// command line says. The process exit code: the registration's result, the
  /// registry error when the program is not registered, else the service's
  /// exit code (0).
  int program_entry(const std::string& command_line);

  // Registration (registration.cpp).
  /// A COM result code: 0, CoInitialize's failure, the registry error of an
  /// AppID key that does not open, or the type library registration's result.
  [[nodiscard]] std::int32_t register_server(bool register_type_library, bool install_as_service);
  /// 0, or CoInitialize's failure.
  [[nodiscard]] std::int32_t unregister_server();
  /// Whether the service manager knows the service (false when it does not open).
  [[nodiscard]] bool service_installed();
  /// Creates the service (auto start, preshutdown timeout, event source). 0
  /// done or the service already exists, 1 not (a message box said why).
  [[nodiscard]] int install_service();
  /// Stops and deletes the service and waits until it is gone. 0 done or there
  /// is no service, 1 not (a message box said why).
  [[nodiscard]] int uninstall_service();
  /// Registers "Hbalogd" as an Application-log source with the program as its
  /// message file; a registry step that fails is left out, silently.
  void register_event_source();

  // Running.
  /// The dispatcher when in service mode; the run loop on this thread when not
  /// (or when the dispatcher refuses: the program was not started as a service).
  void start_module();
  /// The service entry, on the thread the dispatcher gives it; returns when the service has stopped.
  void service_main(platform::service_session& session);
  /// Answers one control of the service manager: a stop, preshutdown or
  /// shutdown starts the stop; pause, continue and interrogate do nothing; any
  /// other is reported ("Bad service request").
  void service_control_handler(std::uint32_t control);
  /// Returns when the message loop has ended and the worker thread has returned.
  void run_service();
  /// Stores `state` and reports the whole status record; a start state
  /// (SERVICE_START_PENDING, SERVICE_RUNNING) while a stop is pending is left out.
  void set_service_status(std::uint32_t state);
  /// The module's own message: to the Application log in service mode, to
  /// standard output otherwise. Formatted into 260 characters.
  void log_event(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

  /// Whether the module runs as the service (false: a plain process).
  [[nodiscard]] bool service_mode() const { return service_mode_.load(); }
  /// The name given to init; the module keeps it.
  [[nodiscard]] const std::string& service_name() const { return service_name_; }
  /// A copy of the status last reported.
  [[nodiscard]] platform::service_status status() const;

 private:
  /// Ends the run loop, or keeps the quit for the next one when none runs.
  void post_quit();
  /// A stop, a preshutdown or a shutdown control: SERVICE_STOP_PENDING, the
  /// capture asked to drain within `bound_ms`, and the run loop's quit.
  void request_stop(std::int32_t bound_ms);
  /// Starts the worker thread on capture_.worker_thread.
  void start_worker();
  /// Waits for the worker thread's return (the stop's checkpoints meanwhile) and joins it.
  void stop_worker();
  /// While a stop is pending: the next checkpoint, so that the service
  /// manager knows the stop is under way.
  void report_stop_progress();
  /// Registers the type library's keys: 0, or the registry error.
  [[nodiscard]] std::int32_t register_type_library();
  /// Deletes the type library's keys; one that will not go stays.
  void unregister_type_library();
  /// Writes (`registering`) or deletes the module's AppID keys; a step that fails is left out.
  void apply_registry_script(bool registering);
  /// The message box of a failed service-manager step, `text` as its message.
  void show_failure(const char* text);

  host_platform platform_;
  capture_entry capture_;
  std::string service_name_;
  std::string program_path_;
  std::atomic<bool> service_mode_{true};

  mutable std::mutex status_lock_;
  platform::service_status service_status_;
  std::unique_ptr<platform::service_status_reporter> status_handle_;

  // The run loop's queue: null outside run_service. A quit posted while there
  // is none is kept and taken by the next run loop.
  std::mutex quit_lock_;
  platform::message_loop* main_loop_ = nullptr;
  bool quit_pending_ = false;

  std::thread worker_;
  std::mutex worker_lock_;
  std::condition_variable worker_ended_;
  bool worker_done_ = false;
};

}  // namespace kvx::logd
