// Fakes for the service host's and the installer hooks' tests: a dispatcher
// session that records status reports, a service manager that passes through
// to the simulated host's but fails where a test says, and recorders for
// message boxes and processes. Their Application log is application_log.h's,
// their registry faulty_registry.h's.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dialog.h"
#include "platform/process.h"
#include "platform/service.h"

namespace kvx::test {

/// A dispatcher session: reports are recorded, and the registered handler can
/// be called as the dispatcher thread would call it.
class recording_session : public platform::service_session {
 public:
  std::unique_ptr<platform::service_status_reporter> register_control_handler(
      const char* service_name, platform::control_handler handler) override;

  /// Calls the handler (false when none is registered).
  bool deliver(std::uint32_t control);
  /// Waits until some report had `state`; false after `timeout_ms`.
  bool wait_for_state(std::uint32_t state, int timeout_ms);
  /// The reported states, oldest first.
  std::vector<std::uint32_t> states() const;
  std::vector<platform::service_status> reports() const;
  std::string registered_name() const;

  bool fail_registration = false;
  /// Called inside each report, before it is recorded (to look at the world
  /// as it is when a state is reported).
  std::function<void(const platform::service_status&)> on_report;

 private:
  friend class recording_reporter;
  void record(const platform::service_status& status);

  mutable std::mutex lock_;
  std::condition_variable reported_;
  std::vector<platform::service_status> reports_;
  platform::control_handler handler_;
  std::string name_;
};

/// The simulated host's service manager, with failures on request. A
/// dispatcher with `session` set runs the service entry with it, as if the
/// manager had started the process.
class scripted_services : public platform::service_control {
 public:
  std::uint32_t run_dispatcher(const char* service_name,
                               const std::function<void(platform::service_session&)>& service_main) override;
  std::uint32_t open_manager(std::uint32_t access, platform::unique_service_manager& out) override;

  platform::service_session* session = nullptr;
  int dispatcher_calls = 0;
  bool fail_manager = false;
  bool fail_create = false;
  /// open_service with DELETE access fails.
  bool fail_open_for_delete = false;
  bool fail_delete = false;
  /// The service shows as running and refuses the stop control.
  bool runs_refusing_stop = false;
  /// The preshutdown timeout cannot be set (ChangeServiceConfig2A fails).
  bool fail_preshutdown_timeout = false;
};

struct recorded_message {
  std::string text;
  std::string caption;
  bool ansi = false;
};

class recording_dialogs : public platform::dialogs {
 public:
  void show_message(const std::string& text, const std::string& caption) override;
  void show_message_ansi(const std::string& text) override;
  std::vector<recorded_message> messages;
};

/// Processes that are not run: each call is recorded as one line of words
/// ("spawn PROGRAM ARG", "hidden WORDS", "shell COMMAND") and answered with the
/// results set here.
class recording_processes : public platform::process_runner {
 public:
  int spawn_wait(const std::string& program, const std::vector<std::string>& arguments) override;
  bool run_hidden(const std::vector<std::string>& command) override;
  int run_shell(const std::string& command) override;

  std::vector<std::string> calls;
  int spawn_result = 0;
  int spawn_errno = 0;
  bool hidden_result = true;
};

}  // namespace kvx::test
