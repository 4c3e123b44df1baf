// The service manager seam on Windows: the advapi32 calls themselves.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/service.h"
#include "platform/win_codes.h"

namespace kvx::platform {
namespace {

std::uint32_t last_error() { return static_cast<std::uint32_t>(::GetLastError()); }

SERVICE_STATUS native_status(const service_status& s) {
  SERVICE_STATUS out{};
  out.dwServiceType = s.service_type;
  out.dwCurrentState = s.current_state;
  out.dwControlsAccepted = s.controls_accepted;
  out.dwWin32ExitCode = s.win32_exit_code;
  out.dwServiceSpecificExitCode = s.service_specific_exit_code;
  out.dwCheckPoint = s.check_point;
  out.dwWaitHint = s.wait_hint;
  return out;
}

service_status our_status(const SERVICE_STATUS& s) {
  service_status out;
  out.service_type = s.dwServiceType;
  out.current_state = s.dwCurrentState;
  out.controls_accepted = s.dwControlsAccepted;
  out.win32_exit_code = s.dwWin32ExitCode;
  out.service_specific_exit_code = s.dwServiceSpecificExitCode;
  out.check_point = s.dwCheckPoint;
  out.wait_hint = s.dwWaitHint;
  return out;
}

class win32_reporter final : public service_status_reporter {
 public:
  explicit win32_reporter(SERVICE_STATUS_HANDLE handle) : handle_(handle) {}
  bool report(const service_status& status) override {
    SERVICE_STATUS s = native_status(status);
    return ::SetServiceStatus(handle_, &s) != FALSE;
  }

 private:
  SERVICE_STATUS_HANDLE handle_;  // owned by the manager; never closed
};

class win32_session final : public service_session {
 public:
  std::unique_ptr<service_status_reporter> register_control_handler(const char* service_name,
                                                                    control_handler handler) override {
    handler_ = std::move(handler);
    SERVICE_STATUS_HANDLE h = ::RegisterServiceCtrlHandlerExA(service_name, &win32_session::handle, this);
    if (h == nullptr) return nullptr;
    return std::make_unique<win32_reporter>(h);
  }

 private:
  static DWORD WINAPI handle(DWORD control, DWORD, LPVOID, LPVOID context) {
    auto* self = static_cast<win32_session*>(context);
    if (self->handler_) self->handler_(control);
    return NO_ERROR;
  }

  control_handler handler_;
};

// StartServiceCtrlDispatcherA gives ServiceMain no context, so the entry is
// reached through this pointer, set only while the dispatcher runs (one
// dispatcher per process, as Windows allows).
struct dispatch_context {
  const std::function<void(service_session&)>* entry = nullptr;
  std::mutex lock;
  std::condition_variable finished;
  bool started = false;
  bool done = false;
};
std::atomic<dispatch_context*> active_dispatch{nullptr};

void WINAPI service_main_bridge(DWORD, LPSTR*) {
  dispatch_context* context = active_dispatch.load();
  if (context == nullptr) return;
  {
    const std::lock_guard<std::mutex> hold(context->lock);
    context->started = true;
  }
  {
    // The session outlives every control: the manager delivers none once
    // SERVICE_STOPPED has been reported, which the entry does before returning.
    win32_session session;
    (*context->entry)(session);
  }
  {
    const std::lock_guard<std::mutex> hold(context->lock);
    context->done = true;
  }
  context->finished.notify_all();
}

class sc_handle_owner {
 public:
  explicit sc_handle_owner(SC_HANDLE h) : h_(h) {}
  ~sc_handle_owner() {
    if (h_ != nullptr) ::CloseServiceHandle(h_);
  }
  sc_handle_owner(const sc_handle_owner&) = delete;
  sc_handle_owner& operator=(const sc_handle_owner&) = delete;
  SC_HANDLE get() const { return h_; }

 private:
  SC_HANDLE h_;
};

std::vector<std::string> split_multi(const char* list) {
  std::vector<std::string> out;
  if (list == nullptr) return out;
  while (*list != '\0') {
    out.emplace_back(list);
    list += out.back().size() + 1;
  }
  return out;
}

class win32_service final : public service_handle {
 public:
  explicit win32_service(SC_HANDLE h) : h_(h) {}

  std::uint32_t start() override { return ::StartServiceA(h_.get(), 0, nullptr) ? win::error_success : last_error(); }

  std::uint32_t control(std::uint32_t code, service_status& status) override {
    SERVICE_STATUS s{};
    if (!::ControlService(h_.get(), code, &s)) return last_error();
    status = our_status(s);
    return win::error_success;
  }

  std::uint32_t remove() override { return ::DeleteService(h_.get()) ? win::error_success : last_error(); }

  std::uint32_t query_config(service_config& out) override {
    DWORD needed = 0;
    ::QueryServiceConfigA(h_.get(), nullptr, 0, &needed);
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return last_error();
    std::vector<std::uint8_t> buffer(needed);
    auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (!::QueryServiceConfigA(h_.get(), c, needed, &needed)) return last_error();
    service_config r;
    r.service_type = c->dwServiceType;
    r.start_type = c->dwStartType;
    r.error_control = c->dwErrorControl;
    r.binary_path = c->lpBinaryPathName != nullptr ? c->lpBinaryPathName : "";
    r.load_order_group = c->lpLoadOrderGroup != nullptr ? c->lpLoadOrderGroup : "";
    r.dependencies = split_multi(c->lpDependencies);
    r.account = c->lpServiceStartName != nullptr ? c->lpServiceStartName : "";
    r.display_name = c->lpDisplayName != nullptr ? c->lpDisplayName : "";
    out = r;
    return win::error_success;
  }

  std::uint32_t set_preshutdown_timeout(std::uint32_t milliseconds) override {
    SERVICE_PRESHUTDOWN_INFO info{};
    info.dwPreshutdownTimeout = milliseconds;
    return ::ChangeServiceConfig2A(h_.get(), SERVICE_CONFIG_PRESHUTDOWN_INFO, &info) ? win::error_success
                                                                                     : last_error();
  }

  std::uint32_t query_status(service_status& out) override {
    SERVICE_STATUS s{};
    if (!::QueryServiceStatus(h_.get(), &s)) return last_error();
    out = our_status(s);
    return win::error_success;
  }

 private:
  sc_handle_owner h_;
};

class win32_manager final : public service_manager_handle {
 public:
  explicit win32_manager(SC_HANDLE h) : h_(h) {}

  std::uint32_t open_service(const char* name, std::uint32_t access, unique_service& out) override {
    SC_HANDLE s = ::OpenServiceA(h_.get(), name, access);
    if (s == nullptr) return last_error();
    out = std::make_unique<win32_service>(s);
    return win::error_success;
  }

  std::uint32_t create_service(const char* name, std::uint32_t access, const service_config& config,
                               unique_service& out) override {
    std::string dependencies;
    for (const std::string& d : config.dependencies) {
      dependencies += d;
      dependencies += '\0';
    }
    dependencies += '\0';
    const std::string display = config.display_name.empty() ? name : config.display_name;
    SC_HANDLE s = ::CreateServiceA(h_.get(), name, display.c_str(), access, config.service_type, config.start_type,
                                   config.error_control, config.binary_path.c_str(),
                                   config.load_order_group.empty() ? nullptr : config.load_order_group.c_str(), nullptr,
                                   config.dependencies.empty() ? nullptr : dependencies.c_str(),
                                   config.account.empty() ? nullptr : config.account.c_str(), nullptr);
    if (s == nullptr) return last_error();
    out = std::make_unique<win32_service>(s);
    return win::error_success;
  }

 private:
  sc_handle_owner h_;
};

class win32_service_control final : public service_control {
 public:
  std::uint32_t run_dispatcher(const char* service_name,
                               const std::function<void(service_session&)>& service_main) override {
    dispatch_context context;
    context.entry = &service_main;
    dispatch_context* expected = nullptr;
    if (!active_dispatch.compare_exchange_strong(expected, &context)) return win::error_already_exists;
    std::string name = service_name != nullptr ? service_name : "";
    SERVICE_TABLE_ENTRYA table[] = {{name.data(), &service_main_bridge}, {nullptr, nullptr}};
    const BOOL ok = ::StartServiceCtrlDispatcherA(table);
    const std::uint32_t rc = ok ? win::error_success : last_error();
    {
      // The dispatcher returns as soon as SERVICE_STOPPED is reported; the
      // entry may still be on its way out, and what it uses must outlive it.
      std::unique_lock<std::mutex> hold(context.lock);
      context.finished.wait(hold, [&] { return !context.started || context.done; });
    }
    active_dispatch.store(nullptr);
    return rc;
  }

  std::uint32_t open_manager(std::uint32_t access, unique_service_manager& out) override {
    SC_HANDLE h = ::OpenSCManagerA(nullptr, nullptr, access);
    if (h == nullptr) return last_error();
    out = std::make_unique<win32_manager>(h);
    return win::error_success;
  }
};

}  // namespace

service_control& backend_services() {
  static win32_service_control services;
  return services;
}

}  // namespace kvx::platform
