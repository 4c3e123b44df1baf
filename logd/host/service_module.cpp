#include "logd/host/service_module.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <span>
#include <system_error>
#include <vector>

#include "logd/host/command_line.h"
#include "platform/win_codes.h"

namespace kvx::logd {

CServiceModule::CServiceModule(host_platform platform, capture_entry capture)
    : platform_(platform), capture_(std::move(capture)) {}

CServiceModule::~CServiceModule() {
  // run_service joins the worker on every path; this only covers a module
  // destroyed while a run loop was never left (it cannot be, in a program).
  if (worker_.joinable()) {
    capture_.stop_watch(capture_own_bound);
    stop_worker();
  }
}

void CServiceModule::init(const std::string& service_name, const std::string& program_path) {
  service_name_ = service_name.substr(0, service_name_limit);
  program_path_ = program_path;
  service_mode_ = true;
  const std::lock_guard<std::mutex> hold(status_lock_);
  service_status_ = platform::service_status{};
  service_status_.service_type = win::service_win32_own_process;
  service_status_.current_state = win::service_stopped;
  service_status_.controls_accepted = accepted_controls;
}

platform::service_status CServiceModule::status() const {
  const std::lock_guard<std::mutex> hold(status_lock_);
  return service_status_;
}

int CServiceModule::program_entry(const std::string& command_line) {
  switch (read_switches(command_line)) {
    case program_action::unregister_server:
      return unregister_server();
    case program_action::register_server:
      return register_server(true, false);
    case program_action::register_service:
      return register_server(true, true);
    case program_action::run:
      break;
  }
  {
    platform::unique_reg_key appids;
    std::uint32_t rc = platform_.registry.open_key(platform::hive_root::classes_root, appid_key, win::key_read, appids);
    if (rc != win::error_success) return static_cast<int>(rc);
    platform::unique_reg_key own;
    rc = platform_.registry.open_key(platform::hive_root::classes_root, module_appid_key, win::key_read, own);
    if (rc != win::error_success) return static_cast<int>(rc);
    std::uint8_t local_service[260];
    std::uint32_t size = sizeof local_service;
    service_mode_ = own->query_value("LocalService", nullptr, local_service, &size) == win::error_success;
  }
  start_module();
  return static_cast<int>(status().win32_exit_code);
}

void CServiceModule::start_module() {
  if (service_mode_) {
    const std::uint32_t rc = platform_.services.run_dispatcher(
        service_name_.c_str(), [this](platform::service_session& session) { service_main(session); });
    if (rc != win::error_success) service_mode_ = false;
  }
  if (service_mode_) return;
  run_service();
}

void CServiceModule::service_main(platform::service_session& session) {
  {
    const std::lock_guard<std::mutex> hold(status_lock_);
    service_status_.current_state = win::service_start_pending;
  }
  std::unique_ptr<platform::service_status_reporter> handle = session.register_control_handler(
      service_name_.c_str(), [this](std::uint32_t control) { service_control_handler(control); });
  if (handle == nullptr) {
    log_event("Handler not installed");
    return;
  }
  {
    const std::lock_guard<std::mutex> hold(status_lock_);
    status_handle_ = std::move(handle);
    service_status_.win32_exit_code = 0;
    service_status_.check_point = 0;
    service_status_.wait_hint = 0;
  }
  set_service_status(win::service_start_pending);
  run_service();
  {
    const std::lock_guard<std::mutex> hold(status_lock_);
    if (service_status_.current_state != win::service_stop_pending) {
      // Nobody asked for the stop: the capture, its worker or the loop failed
      // and said why in the Application log. An exit code of 0 would tell the
      // service manager, and setup, that the service ended cleanly.
      service_status_.win32_exit_code = win::error_service_specific_error;
      service_status_.service_specific_exit_code = 1;
    }
  }
  // Logged before SERVICE_STOPPED is reported: once it is, the dispatcher may
  // return and the process end, and a message still on its way would be lost.
  log_event("Service stopped");
  set_service_status(win::service_stopped);
}

void CServiceModule::service_control_handler(std::uint32_t control) {
  switch (control) {
    case win::service_control_stop:
    case win::service_control_preshutdown:
      request_stop(capture_own_bound);
      break;
    case win::service_control_shutdown:
      request_stop(shutdown_drain_ms);
      break;
    case win::service_control_pause:
    case win::service_control_continue:
    case win::service_control_interrogate:
      break;
    default:
      log_event("Bad service request");
  }
}

void CServiceModule::request_stop(std::int32_t bound_ms) {
  {
    // A stop that crosses the service's own end must not take it back from
    // SERVICE_STOPPED to SERVICE_STOP_PENDING.
    const std::lock_guard<std::mutex> hold(status_lock_);
    if (service_status_.current_state == win::service_stopped) return;
    if (service_status_.current_state != win::service_stop_pending) {
      service_status_.current_state = win::service_stop_pending;
      // The capture may take a while to write what is queued: the manager is
      // told how long to wait before it hears again.
      service_status_.check_point = 1;
      service_status_.wait_hint = stop_wait_hint_ms;
      if (status_handle_ != nullptr && !status_handle_->report(service_status_)) {
        // Refused: the stop goes on all the same.
      }
    }
  }
  // Asked here, once: the capture keeps the request even when its worker has
  // not begun yet. A shutdown notice during a stop only brings its bound forward.
  capture_.stop_watch(bound_ms);
  post_quit();
}

void CServiceModule::post_quit() {
  const std::lock_guard<std::mutex> hold(quit_lock_);
  if (main_loop_ != nullptr) {
    main_loop_->post_quit();
  } else {
    quit_pending_ = true;
  }
}

void CServiceModule::run_service() {
  const std::unique_ptr<platform::message_loop> loop = platform::create_message_loop();
  if (loop == nullptr) {
    log_event("Message queue not created");
    return;
  }
  {
    const std::lock_guard<std::mutex> hold(quit_lock_);
    main_loop_ = loop.get();
    if (quit_pending_) loop->post_quit();
    quit_pending_ = false;
  }
  {
    // COM is initialised for the loop's lifetime as the platform expects of a
    // service module; the module serves no COM classes, so there is no
    // security set-up and no class object to register or revoke.
    const platform::com_apartment com;
    log_event("Service started");
    if (service_mode_) set_service_status(win::service_running);
    start_worker();
    loop->run();
    stop_worker();
  }
  const std::lock_guard<std::mutex> hold(quit_lock_);
  main_loop_ = nullptr;
}

void CServiceModule::start_worker() {
  {
    const std::lock_guard<std::mutex> hold(worker_lock_);
    worker_done_ = false;
  }
  try {
    worker_ = std::thread([this] {
      capture_.worker_thread([this] { post_quit(); });
      {
        const std::lock_guard<std::mutex> hold(worker_lock_);
        worker_done_ = true;
      }
      worker_ended_.notify_all();
    });
  } catch (const std::system_error& e) {
    // Without its worker the service would run doing nothing: end it instead.
    log_event("Worker thread not started. Return code is %d.", e.code().value());
    post_quit();
  }
}

void CServiceModule::stop_worker() {
  if (!worker_.joinable()) return;
  // The loop has ended: the worker has ended by itself, or the stop control
  // has asked the capture to drain. Each second of the wait is a checkpoint.
  std::unique_lock<std::mutex> hold(worker_lock_);
  while (!worker_ended_.wait_for(hold, std::chrono::seconds(1), [this] { return worker_done_; })) {
    hold.unlock();
    report_stop_progress();
    hold.lock();
  }
  hold.unlock();
  worker_.join();
}

void CServiceModule::report_stop_progress() {
  const std::lock_guard<std::mutex> hold(status_lock_);
  if (service_status_.current_state != win::service_stop_pending) return;
  ++service_status_.check_point;
  service_status_.wait_hint = stop_wait_hint_ms;
  if (status_handle_ != nullptr && !status_handle_->report(service_status_)) {
    // Refused: the stop goes on all the same.
  }
}

void CServiceModule::set_service_status(std::uint32_t state) {
  const std::lock_guard<std::mutex> hold(status_lock_);
  // A stop asked for while the service was still starting stands: the start's
  // own reports that follow must not take it back to SERVICE_RUNNING, which
  // would also make the service's end look like a failure.
  if (service_status_.current_state == win::service_stop_pending &&
      (state == win::service_start_pending || state == win::service_running)) {
    return;
  }
  service_status_.current_state = state;
  if (state != win::service_start_pending && state != win::service_stop_pending) {
    service_status_.check_point = 0;
    service_status_.wait_hint = 0;
  }
  if (status_handle_ != nullptr && !status_handle_->report(service_status_)) {
    // The manager refused the report; there is nobody else to tell.
  }
}

void CServiceModule::log_event(const char* format, ...) {
  char text[log_event_buffer];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return;
  if (!service_mode_) {
    std::printf("%s\n", text);
    std::fflush(stdout);
    return;
  }
  const std::unique_ptr<platform::event_source> source = platform_.event_logs.register_source(service_name_.c_str());
  if (source == nullptr) return;  // the message is lost
  if (!source->report(win::eventlog_information_type, 0, module_event_id, {text}, std::span<const std::uint8_t>())) {
    // Refused by the log: lost as well.
  }
}

}  // namespace kvx::logd
