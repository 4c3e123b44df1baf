// Registration of hbalogd: the AppID entry, the service, the Application event
// source and the type library. The registry script (hbalogd.rgs) and the type
// library's registration are applied by writing their keys directly, the same
// way on every platform; nothing is rolled back when a step fails half-way.
//
// Deleting a running service only marks it for deletion: the service manager
// removes it once its process has ended and its last handle is closed, and
// until then refuses to create it again (ERROR_SERVICE_MARKED_FOR_DELETE).
// Re-registering therefore stops the service and waits for the stop, deletes
// it and waits until it has gone, each wait bounded, before creating it anew;
// a step that fails shows its message box and fails the registration.
#include <chrono>
#include <string>
#include <thread>

#include "logd/host/service_module.h"
#include "platform/win_codes.h"

namespace kvx::logd {
namespace {

// The service-manager failures, shown in a message box captioned with the
// service name.
constexpr const char* text_manager_not_opened = "サービス マネージャーを開けませんでした";
constexpr const char* text_service_not_opened = "サービスを開けませんでした";
constexpr const char* text_service_not_deleted = "サービスは削除できませんでした";
constexpr const char* text_service_not_created = "サービスを作成できませんでした";

constexpr std::uint32_t types_supported = 5;  // error and information

// The result of a registration whose service-manager step failed (E_FAIL):
// the message box has said which step.
constexpr std::int32_t service_step_failed = static_cast<std::int32_t>(0x80004005u);

// How long the service is given to stop, and then to go once deleted, as a
// service manager gives a service to answer a control.
constexpr auto state_wait = std::chrono::seconds(30);
constexpr auto poll_step = std::chrono::milliseconds(50);

// The keys of the type library as its registration leaves them, innermost
// first (the order they are removed in).
constexpr const char* typelib_win64_key = "TypeLib\\{2C6B8E4F-91A7-4D3B-B5E0-7F1A9C3D6E28}\\1.0\\0\\win64";
constexpr const char* typelib_lcid_key = "TypeLib\\{2C6B8E4F-91A7-4D3B-B5E0-7F1A9C3D6E28}\\1.0\\0";
constexpr const char* typelib_flags_key = "TypeLib\\{2C6B8E4F-91A7-4D3B-B5E0-7F1A9C3D6E28}\\1.0\\FLAGS";
constexpr const char* typelib_helpdir_key = "TypeLib\\{2C6B8E4F-91A7-4D3B-B5E0-7F1A9C3D6E28}\\1.0\\HELPDIR";
constexpr const char* typelib_version_key = "TypeLib\\{2C6B8E4F-91A7-4D3B-B5E0-7F1A9C3D6E28}\\1.0";
constexpr const char* typelib_key = "TypeLib\\{2C6B8E4F-91A7-4D3B-B5E0-7F1A9C3D6E28}";

// A REG_SZ or REG_EXPAND_SZ with its terminating NUL, as RegSetValueExA takes it.
std::uint32_t set_text(platform::registry_key& key, const char* name, std::uint32_t type, const std::string& text) {
  return key.set_value(name, type, reinterpret_cast<const std::uint8_t*>(text.c_str()),
                       static_cast<std::uint32_t>(text.size() + 1));
}

// Creates root\path and sets its default value (or the named value) to `text`.
std::uint32_t write_key_text(platform::registry& registry, platform::hive_root root, const char* path,
                             const char* value_name, const std::string& text) {
  platform::unique_reg_key key;
  const std::uint32_t rc = registry.create_key(root, path, win::key_all_access, key, nullptr);
  if (rc != win::error_success) return rc;
  return set_text(*key, value_name, win::reg_sz, text);
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// Sends the stop (again while the service is starting and takes no control)
// and waits until the service reports SERVICE_STOPPED. error_success, the
// error of a query or of a stop the service refuses, or
// error_service_request_timeout.
std::uint32_t stop_and_wait(platform::service_handle& service) {
  const auto limit = std::chrono::steady_clock::now() + state_wait;
  bool stop_sent = false;
  for (;;) {
    platform::service_status status;
    if (const std::uint32_t rc = service.query_status(status); rc != win::error_success) return rc;
    if (status.current_state == win::service_stopped) return win::error_success;
    if (!stop_sent && status.current_state != win::service_stop_pending) {
      const std::uint32_t rc = service.control(win::service_control_stop, status);
      if (rc == win::error_success) {
        stop_sent = true;
      } else if (rc != win::error_service_cannot_accept_ctrl && rc != win::error_service_not_active) {
        return rc;
      }
    }
    if (std::chrono::steady_clock::now() >= limit) return win::error_service_request_timeout;
    std::this_thread::sleep_for(poll_step);
  }
}

// Waits until a deleted service has gone: OpenService gives
// ERROR_SERVICE_DOES_NOT_EXIST then, and ERROR_SERVICE_MARKED_FOR_DELETE while
// something still holds it. Some service managers (Wine's) open a service
// marked for deletion as if it were not, so a service that opens has not gone
// either. error_success, another error of the opening, or
// error_service_marked_for_delete when the wait runs out.
std::uint32_t wait_until_gone(platform::service_manager_handle& scm, const std::string& name) {
  const auto limit = std::chrono::steady_clock::now() + state_wait;
  for (;;) {
    platform::unique_service probe;
    const std::uint32_t rc = scm.open_service(name.c_str(), win::service_query_status, probe);
    if (rc == win::error_service_does_not_exist) return win::error_success;
    if (rc != win::error_service_marked_for_delete && rc != win::error_success) return rc;
    // The probe must not hold the service while the wait goes on.
    probe.reset();
    if (std::chrono::steady_clock::now() >= limit) return win::error_service_marked_for_delete;
    std::this_thread::sleep_for(poll_step);
  }
}

}  // namespace

void CServiceModule::show_failure(const char* text) { platform_.dialogs.show_message(text, service_name_); }

void CServiceModule::apply_registry_script(bool registering) {
  platform::registry& reg = platform_.registry;
  const auto root = platform::hive_root::classes_root;
  if (registering) {
    // The script's results are not examined: the AppID key's opening, which
    // follows, tells whether the registration took.
    if (write_key_text(reg, root, module_appid_key, nullptr, "hbalogd") != win::error_success) return;
    if (write_key_text(reg, root, module_exe_key, "AppID", module_appid) != win::error_success) return;
    return;
  }
  // "AppID" itself is NoRemove: only the module's two subkeys go.
  if (reg.delete_key(root, module_appid_key) != win::error_success) {
    // Already gone, or holding subkeys that somebody else put there.
  }
  if (reg.delete_key(root, module_exe_key) != win::error_success) {
    // Already gone.
  }
}

std::int32_t CServiceModule::register_type_library() {
  platform::registry& reg = platform_.registry;
  const auto root = platform::hive_root::classes_root;
  // The type library is resource 1 of the program, which names it by the
  // program's path alone.
  std::uint32_t rc = write_key_text(reg, root, typelib_version_key, nullptr, module_typelib_name);
  if (rc == win::error_success) rc = write_key_text(reg, root, typelib_flags_key, nullptr, "0");
  if (rc == win::error_success)
    rc = write_key_text(reg, root, typelib_helpdir_key, nullptr, directory_of(program_path_));
  if (rc == win::error_success) rc = write_key_text(reg, root, typelib_win64_key, nullptr, program_path_);
  return static_cast<std::int32_t>(rc);
}

void CServiceModule::unregister_type_library() {
  platform::registry& reg = platform_.registry;
  for (const char* key : {typelib_win64_key, typelib_lcid_key, typelib_flags_key, typelib_helpdir_key,
                          typelib_version_key, typelib_key}) {
    if (reg.delete_key(platform::hive_root::classes_root, key) != win::error_success) {
      // Absent, or another version of the library still below it: it stays.
    }
  }
}

std::int32_t CServiceModule::register_server(bool register_type_library_too, bool install_as_service) {
  const platform::com_apartment com;
  if (com.result() < 0) return com.result();
  const bool removed = uninstall_service() == 0;
  apply_registry_script(true);

  platform::unique_reg_key appids;
  std::uint32_t rc = platform_.registry.open_key(platform::hive_root::classes_root, appid_key, win::key_write, appids);
  if (rc != win::error_success) return static_cast<std::int32_t>(rc);
  platform::unique_reg_key own;
  rc = platform_.registry.open_key(platform::hive_root::classes_root, module_appid_key, win::key_write, own);
  if (rc != win::error_success) return static_cast<std::int32_t>(rc);
  if (own->delete_value("LocalService") != win::error_success) {
    // Not there: registered without the service before, or never.
  }
  bool installed = true;
  if (install_as_service) {
    if (set_text(*own, "LocalService", win::reg_sz, service_name_) != win::error_success ||
        set_text(*own, "ServiceParameters", win::reg_sz, "-Service") != win::error_success) {
      // A later start without the value runs as a plain process.
    }
    installed = install_service() == 0;
  }
  // No class objects to register; the type library's result is the one given,
  // unless a service-manager step failed: a registration that leaves no
  // service, or the old one, is no success.
  const std::int32_t rc_typelib = register_type_library_too ? register_type_library() : 0;
  if (rc_typelib != 0) return rc_typelib;
  return removed && installed ? 0 : service_step_failed;
}

std::int32_t CServiceModule::unregister_server() {
  const platform::com_apartment com;
  if (com.result() < 0) return com.result();
  apply_registry_script(false);
  const bool removed = uninstall_service() == 0;
  unregister_type_library();
  // The event source stays registered, so that the events already in the
  // Application log keep their text.
  return removed ? 0 : service_step_failed;
}

bool CServiceModule::service_installed() {
  platform::unique_service_manager scm;
  if (platform_.services.open_manager(win::sc_manager_all_access, scm) != win::error_success) return false;
  platform::unique_service service;
  return scm->open_service(service_name_.c_str(), win::service_query_config, service) == win::error_success;
}

int CServiceModule::install_service() {
  if (service_installed()) return 0;
  platform::unique_service_manager scm;
  if (platform_.services.open_manager(win::sc_manager_all_access, scm) != win::error_success) {
    show_failure(text_manager_not_opened);
    return 1;
  }
  platform::unique_service service;
  platform::service_config config;
  config.service_type = win::service_win32_own_process;
  config.start_type = win::service_auto_start;
  config.error_control = win::service_error_normal;
  config.binary_path = "\"" + program_path_ + "\"";
  config.dependencies = {"RPCSS"};
  config.display_name = service_name_;
  // Without its own path the program cannot name what the manager is to start.
  if (program_path_.empty() ||
      scm->create_service(service_name_.c_str(), win::service_all_access, config, service) != win::error_success) {
    scm.reset();
    show_failure(text_service_not_created);
    return 1;
  }
  // At a system shutdown the capture drains as at a stop; the default wait
  // after the preshutdown control (10 s) would cut that drain short.
  if (const std::uint32_t rc = service->set_preshutdown_timeout(preshutdown_timeout_ms); rc != win::error_success) {
    log_event("Preshutdown timeout not set. Return code is %u.", rc);
  }
  service.reset();
  scm.reset();
  register_event_source();
  return 0;
}

int CServiceModule::uninstall_service() {
  platform::unique_service_manager scm;
  if (!service_installed()) {
    // Not there, or deleted before and still held (by a run that has not
    // ended, say): then it is waited for, so that it can be created again.
    if (platform_.services.open_manager(win::sc_manager_all_access, scm) != win::error_success) return 0;
    platform::unique_service probe;
    if (scm->open_service(service_name_.c_str(), win::service_query_status, probe) !=
            win::error_service_marked_for_delete ||
        wait_until_gone(*scm, service_name_) == win::error_success) {
      return 0;
    }
    scm.reset();
    show_failure(text_service_not_deleted);
    return 1;
  }
  if (platform_.services.open_manager(win::sc_manager_all_access, scm) != win::error_success) {
    show_failure(text_manager_not_opened);
    return 1;
  }
  platform::unique_service service;
  if (scm->open_service(service_name_.c_str(), win::service_stop | win::delete_access | win::service_query_status,
                        service) != win::error_success) {
    scm.reset();
    show_failure(text_service_not_opened);
    return 1;
  }
  // A service that will not stop is left as it is: deleted, it would only be
  // marked, and stay so for as long as it runs.
  const bool stopped = stop_and_wait(*service) == win::error_success;
  // Already marked (by an earlier run, on a manager that still opens it): the
  // deletion is under way all the same.
  const std::uint32_t removed = stopped ? service->remove() : win::error_success;
  const bool deleted = stopped && (removed == win::error_success || removed == win::error_service_marked_for_delete);
  // Our own handle holds the service too: it goes before the wait.
  service.reset();
  const bool gone = deleted && wait_until_gone(*scm, service_name_) == win::error_success;
  scm.reset();
  if (gone) return 0;
  show_failure(text_service_not_deleted);
  return 1;
}

void CServiceModule::register_event_source() {
  platform::unique_reg_key key;
  if (platform_.registry.create_key(platform::hive_root::local_machine, event_source_key, win::key_all_access, key,
                                    nullptr) != win::error_success) {
    return;
  }
  // The whole path, however long: a message file named by half a path would
  // leave every event of the source without its text.
  if (set_text(*key, "EventMessageFile", win::reg_expand_sz, program_path_) != win::error_success) {
    // Nothing is tested here; the events still carry their string.
  }
  const std::uint8_t types[4] = {types_supported, 0, 0, 0};
  if (key->set_value("TypesSupported", win::reg_dword, types, sizeof types) != win::error_success) {
    // As above.
  }
}

}  // namespace kvx::logd
