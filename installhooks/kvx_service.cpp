#include "installhooks/kvx_service.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/win_codes.h"

namespace kvx::installhooks {
namespace {

// The words of a direct run, measured as the command line they make.
bool fits(const std::string& program, const char* argument) {
  return program.size() + std::strlen(argument) + 4 < text_buffer;
}

// Runs the service program with one switch and waits: its exit status, or -1
// when it does not start.
int run_program(const hooks_platform& p, const std::string& program, const char* argument) {
  if (!fits(program, argument)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  return p.processes.spawn_wait(program, {argument});
}

// The error texts end with the C library's error number and its text, taken
// at the moment of the call.
void show_error(const hooks_platform& p, const char* heading, int code) {
  const int err = errno;
  char text[text_buffer];
  std::snprintf(text, sizeof text, "%srCode = %d\nerrno = %d\nmsg = %s\n", heading, code, err, std::strerror(err));
  p.dialogs.show_message_ansi(text);
}

}  // namespace

std::string service_program_path(const std::string& install_dir) {
  return platform::host_program_path(install_dir + service_program);
}

std::int32_t kvx_registry(const hooks_platform& p, const char* install_dir) {
  if (install_dir == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const std::string program = service_program_path(install_dir);
  const int registered = run_program(p, program, "/Service");
  if (registered != 0) return registered;
  if (p.processes.run_hidden(platform::net_command({"start", "hbalogd"}))) return 0;
  // The service cannot be started: take the registration back.
  const std::string undo = platform::shell_quote(program) + " /UnregServer";
  if (undo.size() < text_buffer) p.processes.run_shell(undo);
  return -2;
}

std::int32_t uninst_initialize(const hooks_platform& p) {
  platform::unique_reg_key key;
  if (p.registry.open_key(platform::hive_root::local_machine, uninstall_key,
                          win::key_read | win::key_set_value | win::key_create_sub_key, key) != win::error_success) {
    return -1;
  }
  std::string program;
  std::vector<std::uint8_t> data(text_buffer);
  std::uint32_t size = static_cast<std::uint32_t>(data.size());
  if (key->query_value(install_dir_value, nullptr, data.data(), &size) == win::error_success) {
    // Any type, read as text: up to its first NUL, or all of it when it has none.
    std::string dir(data.begin(), data.begin() + size);
    const std::size_t nul = dir.find('\0');
    if (nul != std::string::npos) dir.resize(nul);
    program = service_program_path(dir);
  }
  const std::uint32_t closed = key->close();
  key.reset();
  if (closed != win::error_success) {
    show_error(p, "", static_cast<int>(closed));
    p.end_process(-1);
    return -1;
  }
  if (program.empty()) return -1;
  if (!p.processes.run_hidden(platform::net_command({"stop", "hbalogd"}))) {
    show_error(p, "hbalogd Service Not Stoped.\n", -1);
    p.end_process(-1);
    return -1;
  }
  const int unregistered = run_program(p, program, "/UnregServer");
  if (unregistered == 0) return 0;
  show_error(p, "hbalogd Service Not Unregistry.\n", unregistered);
  return -1;
}

}  // namespace kvx::installhooks
