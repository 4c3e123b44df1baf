#include "tests/fakes/service_fakes.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/host.h"
#include "platform/win_codes.h"

namespace kvx::test {

class recording_reporter : public platform::service_status_reporter {
 public:
  explicit recording_reporter(recording_session& session) : session_(session) {}
  bool report(const platform::service_status& status) override {
    session_.record(status);
    return true;
  }

 private:
  recording_session& session_;
};

std::unique_ptr<platform::service_status_reporter> recording_session::register_control_handler(
    const char* service_name, platform::control_handler handler) {
  if (fail_registration) return nullptr;
  const std::lock_guard<std::mutex> hold(lock_);
  name_ = service_name != nullptr ? service_name : "";
  handler_ = std::move(handler);
  return std::make_unique<recording_reporter>(*this);
}

bool recording_session::deliver(std::uint32_t control) {
  platform::control_handler handler;
  {
    const std::lock_guard<std::mutex> hold(lock_);
    handler = handler_;
  }
  if (!handler) return false;
  handler(control);
  return true;
}

void recording_session::record(const platform::service_status& status) {
  if (on_report) on_report(status);
  {
    const std::lock_guard<std::mutex> hold(lock_);
    reports_.push_back(status);
  }
  reported_.notify_all();
}

bool recording_session::wait_for_state(std::uint32_t state, int timeout_ms) {
  std::unique_lock<std::mutex> hold(lock_);
  return reported_.wait_for(hold, std::chrono::milliseconds(timeout_ms), [&] {
    for (const platform::service_status& s : reports_) {
      if (s.current_state == state) return true;
    }
    return false;
  });
}

std::vector<std::uint32_t> recording_session::states() const {
  const std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::uint32_t> out;
  for (const platform::service_status& s : reports_) out.push_back(s.current_state);
  return out;
}

std::vector<platform::service_status> recording_session::reports() const {
  const std::lock_guard<std::mutex> hold(lock_);
  return reports_;
}

std::string recording_session::registered_name() const {
  const std::lock_guard<std::mutex> hold(lock_);
  return name_;
}

namespace {

class faulty_service : public platform::service_handle {
 public:
  faulty_service(platform::unique_service inner, const scripted_services& script)
      : inner_(std::move(inner)), script_(script) {}
  std::uint32_t start() override { return inner_->start(); }
  std::uint32_t control(std::uint32_t code, platform::service_status& status) override {
    if (script_.runs_refusing_stop) return win::error_invalid_service_control;
    return inner_->control(code, status);
  }
  std::uint32_t remove() override { return script_.fail_delete ? win::error_access_denied : inner_->remove(); }
  std::uint32_t query_config(platform::service_config& out) override { return inner_->query_config(out); }
  std::uint32_t set_preshutdown_timeout(std::uint32_t milliseconds) override {
    if (script_.fail_preshutdown_timeout) return win::error_access_denied;
    return inner_->set_preshutdown_timeout(milliseconds);
  }
  std::uint32_t query_status(platform::service_status& out) override {
    const std::uint32_t rc = inner_->query_status(out);
    if (rc == win::error_success && script_.runs_refusing_stop) {
      out.current_state = win::service_running;
      out.controls_accepted = 0;
    }
    return rc;
  }

 private:
  platform::unique_service inner_;
  const scripted_services& script_;
};

class faulty_manager : public platform::service_manager_handle {
 public:
  faulty_manager(platform::unique_service_manager inner, const scripted_services& script)
      : inner_(std::move(inner)), script_(script) {}

  std::uint32_t open_service(const char* name, std::uint32_t access, platform::unique_service& out) override {
    if (script_.fail_open_for_delete && (access & win::delete_access) != 0) return win::error_access_denied;
    platform::unique_service inner;
    const std::uint32_t rc = inner_->open_service(name, access, inner);
    if (rc == win::error_success) out = std::make_unique<faulty_service>(std::move(inner), script_);
    return rc;
  }

  std::uint32_t create_service(const char* name, std::uint32_t access, const platform::service_config& config,
                               platform::unique_service& out) override {
    if (script_.fail_create) return win::error_access_denied;
    platform::unique_service inner;
    const std::uint32_t rc = inner_->create_service(name, access, config, inner);
    if (rc == win::error_success) out = std::make_unique<faulty_service>(std::move(inner), script_);
    return rc;
  }

 private:
  platform::unique_service_manager inner_;
  const scripted_services& script_;
};

}  // namespace

std::uint32_t scripted_services::run_dispatcher(const char*,
                                                const std::function<void(platform::service_session&)>& service_main) {
  ++dispatcher_calls;
  if (session == nullptr) return win::error_failed_service_controller_connect;
  std::thread service([&] { service_main(*session); });
  service.join();
  return win::error_success;
}

std::uint32_t scripted_services::open_manager(std::uint32_t access, platform::unique_service_manager& out) {
  if (fail_manager) return win::error_access_denied;
  platform::unique_service_manager inner;
  const std::uint32_t rc = platform::backend_services().open_manager(access, inner);
  if (rc == win::error_success) out = std::make_unique<faulty_manager>(std::move(inner), *this);
  return rc;
}

void recording_dialogs::show_message(const std::string& text, const std::string& caption) {
  messages.push_back({text, caption, false});
}

void recording_dialogs::show_message_ansi(const std::string& text) { messages.push_back({text, "", true}); }

int recording_processes::spawn_wait(const std::string& program, const std::vector<std::string>& arguments) {
  std::string line = "spawn " + program;
  for (const std::string& a : arguments) line += " " + a;
  calls.push_back(line);
  if (spawn_result == -1) errno = spawn_errno;
  return spawn_result;
}

bool recording_processes::run_hidden(const std::vector<std::string>& command) {
  std::string line = "hidden";
  for (const std::string& w : command) line += " " + w;
  calls.push_back(line);
  if (!hidden_result) errno = ENOENT;
  return hidden_result;
}

int recording_processes::run_shell(const std::string& command) {
  calls.push_back("shell " + command);
  return 0;
}

}  // namespace kvx::test
